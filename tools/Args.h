// The tool's argument parser: long options (--name VALUE, --name=VALUE,
// boolean --flag) and positional arguments, checked against a table that also
// produces the --help text. Throws UsageError with a one-line reason.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kavra::tool {

// A mistake on the command line; what() is the one-line reason.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionInfo {
    std::string name;      // without the leading dashes
    std::string valueName; // empty: a flag that takes no value
    std::string help;
};

class Args {
public:
    // usage: the synopsis line printed by --help; positionals: names of the
    // required positional arguments, in order.
    Args(std::string command, std::string usage, std::string summary,
         std::vector<std::string> positionals, std::vector<OptionInfo> options);

    // Parses argv[first, argc). Returns false when --help was given (the
    // help text is then in HelpText()). Throws UsageError.
    bool Parse(int argc, char** argv, int first);

    std::string HelpText() const;

    bool Has(const std::string& name) const;
    std::string Get(const std::string& name, const std::string& fallback) const;
    std::uint64_t GetUnsigned(const std::string& name, std::uint64_t fallback,
                              std::uint64_t max) const;
    double GetDouble(const std::string& name, double fallback, double min, double max) const;
    const std::string& Positional(std::size_t index) const { return m_positionalValues.at(index); }

private:
    const OptionInfo* find(const std::string& name) const;

    std::string m_command;
    std::string m_usage;
    std::string m_summary;
    std::vector<std::string> m_positionals;
    std::vector<OptionInfo> m_options;
    std::map<std::string, std::string> m_values;
    std::vector<std::string> m_positionalValues;
};

// Strict number parsing for option values; throws UsageError naming what.
std::uint64_t ParseUnsigned(const std::string& text, const std::string& what, std::uint64_t max);
double ParseDouble(const std::string& text, const std::string& what, double min, double max);

} // namespace kavra::tool
