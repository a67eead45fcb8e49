// The kavra(1) page that the build writes says what `kavra --help` and each
// `kavra COMMAND --help` say: the same usage lines, descriptions and options,
// in their order, and no option that help does not list. The page is read
// back as plain text, the way man shows it, so a change in the help that the
// page does not follow fails here.
#include "support/ChildProcess.h"
#include "support/Slowdown.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#if defined(KAVRA_MAN_PAGE) && defined(KAVRA_TOOL)

namespace {

std::string helpOf(const std::vector<std::string>& args) {
    kavra::test::ChildProcess child(KAVRA_TOOL, args, "");
    std::string out;
    std::string err;
    const auto deadline =
        std::chrono::steady_clock::now() + kavra::test::Patient(std::chrono::seconds(20));
    while (!child.Poll() && std::chrono::steady_clock::now() < deadline) {
        child.Pump(20, out, err);
    }
    while (child.Pump(0, out, err)) {
    }
    EXPECT_TRUE(err.empty()) << err;
    return out;
}

std::string collapse(const std::string& text) {
    const std::string spaced = std::regex_replace(text, std::regex(R"(\s+)"), " ");
    const std::size_t first = spaced.find_first_not_of(' ');
    return first == std::string::npos
               ? ""
               : spaced.substr(first, spaced.find_last_not_of(' ') + 1 - first);
}

// A help text in pieces: usage line, description, then one piece per row of
// its table ("options:" or "commands:") and the lines after the table.
struct Help {
    std::vector<std::string> pieces;
    std::vector<std::string> rowNames; // first word of each row: a command or option
};

Help parse(const std::string& text) {
    Help help;
    std::istringstream in(text);
    std::string line;
    std::string paragraph;
    bool inTable = false;
    auto flush = [&] {
        if (!collapse(paragraph).empty()) {
            help.pieces.push_back(collapse(paragraph));
        }
        paragraph.clear();
    };
    while (std::getline(in, line)) {
        if (std::regex_match(line, std::regex("[a-z]+:"))) {
            flush();
            inTable = true;
        } else if (inTable && line.rfind("  ", 0) == 0) {
            help.pieces.push_back(collapse(line.substr(2)));
            help.rowNames.push_back(help.pieces.back().substr(0, help.pieces.back().find(' ')));
        } else if (line.empty()) {
            flush();
            inTable = false;
        } else {
            paragraph += (line.rfind("usage: ", 0) == 0 ? line.substr(7) : line) + "\n";
        }
    }
    flush();
    return help;
}

// The page's sections by heading ("SYNOPSIS", "KAVRA DEMO"), each as the
// plain text a reader sees, and the number of tagged paragraphs (.TP) in it.
struct Section {
    std::string text;
    std::size_t entries = 0;
};

std::map<std::string, Section> readPage(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::map<std::string, Section> sections;
    Section* current = nullptr;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(".SH ", 0) == 0) {
            std::string heading = line.substr(4);
            heading.erase(std::remove(heading.begin(), heading.end(), '"'), heading.end());
            current = &sections[heading];
            continue;
        }
        if (current == nullptr || line.rfind(".\\\"", 0) == 0) {
            continue;
        }
        Section& section = *current;
        if (line == ".TP") {
            ++section.entries;
        }
        if (line.rfind('.', 0) == 0) {
            section.text += " ";
            continue;
        }
        line = std::regex_replace(line, std::regex(R"(\\f[BIR]|\\&)"), "");
        line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
        line = std::regex_replace(line, std::regex(R"(\\e)"), "\\");
        section.text += line + " ";
    }
    for (auto& [heading, section] : sections) {
        section.text = collapse(section.text);
    }
    return sections;
}

// Each piece of help appears in the section, in order.
void expectInOrder(const Section& section, const Help& help, const std::string& what) {
    std::size_t at = 0;
    for (const std::string& piece : help.pieces) {
        const std::size_t found = section.text.find(piece, at);
        ASSERT_NE(found, std::string::npos)
            << what << ": the page lacks (or misplaces) \"" << piece << "\"\nin: " << section.text;
        at = found + piece.size();
    }
}

TEST(ToolManPage, SaysWhatHelpSays) {
    const auto page = readPage(KAVRA_MAN_PAGE);
    const Help top = parse(helpOf({"--help"}));
    ASSERT_GE(top.rowNames.size(), 4u);
    ASSERT_TRUE(page.count("SYNOPSIS") && page.count("COMMANDS"));
    const Section& synopsis = page.at("SYNOPSIS");
    EXPECT_NE(synopsis.text.find(top.pieces.front()), std::string::npos) << synopsis.text;
    expectInOrder(page.at("COMMANDS"), {{top.pieces.begin() + 1, top.pieces.end()}, {}}, "kavra");
    EXPECT_EQ(page.at("COMMANDS").entries, top.rowNames.size());

    for (const std::string& command : top.rowNames) {
        const Help help = parse(helpOf({command, "--help"}));
        ASSERT_GE(help.pieces.size(), 3u) << command;
        EXPECT_NE(synopsis.text.find(help.pieces.front()), std::string::npos) << command;
        std::string heading = "KAVRA " + command;
        std::transform(heading.begin(), heading.end(), heading.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        ASSERT_TRUE(page.count(heading)) << "the page has no section " << heading;
        expectInOrder(page.at(heading), help, command);
        EXPECT_EQ(page.at(heading).entries, help.rowNames.size())
            << command << ": options in the page, not in help";
    }
}

} // namespace

#endif
