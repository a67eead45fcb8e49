#include "Args.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace kavra::tool {

Args::Args(std::string command, std::string usage, std::string summary,
           std::vector<std::string> positionals, std::vector<OptionInfo> options)
    : m_command(std::move(command)), m_usage(std::move(usage)), m_summary(std::move(summary)),
      m_positionals(std::move(positionals)), m_options(std::move(options)) {
    m_options.push_back({"verbose", "", "log every frame"});
    m_options.push_back({"help", "", "show this help"});
}

const OptionInfo* Args::find(const std::string& name) const {
    for (const OptionInfo& option : m_options) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

bool Args::Parse(int argc, char** argv, int first) {
    const std::string seeHelp = " (see 'kavra " + m_command + " --help')";
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            std::string value;
            bool inlineValue = false;
            if (const auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                inlineValue = true;
            }
            const OptionInfo* known = find(name);
            if (known == nullptr) {
                throw UsageError("unknown option '--" + name + "'" + seeHelp);
            }
            if (name == "help") {
                return false;
            }
            if (known->valueName.empty()) {
                if (inlineValue) {
                    throw UsageError("option '--" + name + "' takes no value" + seeHelp);
                }
                m_values[name] = "1";
                continue;
            }
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    throw UsageError("option '--" + name + "' needs a value (" + known->valueName +
                                     ")" + seeHelp);
                }
                value = argv[++i];
            }
            m_values[name] = value;
            continue;
        }
        if (arg == "-h") {
            return false;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option '" + arg + "'" + seeHelp);
        }
        if (m_positionalValues.size() >= m_positionals.size()) {
            throw UsageError("unexpected argument '" + arg + "'" + seeHelp);
        }
        m_positionalValues.push_back(arg);
    }
    if (m_positionalValues.size() < m_positionals.size()) {
        throw UsageError("missing " + m_positionals[m_positionalValues.size()] + seeHelp);
    }
    return true;
}

std::string Args::HelpText() const {
    std::ostringstream out;
    out << "usage: " << m_usage << "\n\n" << m_summary << "\n\noptions:\n";
    std::size_t width = 0;
    for (const OptionInfo& option : m_options) {
        const std::size_t w =
            option.name.size() + (option.valueName.empty() ? 0 : option.valueName.size() + 1);
        width = std::max(width, w);
    }
    for (const OptionInfo& option : m_options) {
        std::string left = "--" + option.name;
        if (!option.valueName.empty()) {
            left += " " + option.valueName;
        }
        out << "  " << left << std::string(width + 4 - left.size() + 2, ' ') << option.help << "\n";
    }
    return out.str();
}

bool Args::Has(const std::string& name) const {
    return m_values.count(name) != 0;
}

std::string Args::Get(const std::string& name, const std::string& fallback) const {
    const auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

std::uint64_t Args::GetUnsigned(const std::string& name, std::uint64_t fallback,
                                std::uint64_t max) const {
    const auto it = m_values.find(name);
    return it == m_values.end() ? fallback : ParseUnsigned(it->second, "--" + name, max);
}

double Args::GetDouble(const std::string& name, double fallback, double min, double max) const {
    const auto it = m_values.find(name);
    return it == m_values.end() ? fallback : ParseDouble(it->second, "--" + name, min, max);
}

std::uint64_t ParseUnsigned(const std::string& text, const std::string& what, std::uint64_t max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError(what + ": '" + text + "' is not a non-negative whole number");
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > max) {
        throw UsageError(what + ": " + text + " is larger than " + std::to_string(max));
    }
    return value;
}

double ParseDouble(const std::string& text, const std::string& what, double min, double max) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE || !(value >= min) ||
        !(value <= max)) {
        std::ostringstream range;
        range << what << ": '" << text << "' is not a number from " << min << " to " << max;
        throw UsageError(range.str());
    }
    return value;
}

} // namespace kavra::tool
