#include "support/TestProcess.h"

#include <array>
#include <cstdio>
#include <fstream>

#include <sys/wait.h>

namespace kavra::test {

namespace {

// One word for the shell, whatever it contains.
std::string quoted(const std::string& word) {
    std::string result = "'";
    for (const char c : word) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM); 0 when unreadable.
std::uint64_t procStatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1));
        }
    }
    return 0;
}

} // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    ProgramResult result;
    std::string command = quoted(program);
    for (const std::string& arg : args) {
        command += " " + quoted(arg);
    }
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 256> chunk{};
    std::size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        result.output.append(chunk.data(), n);
    }
    const int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::uint64_t ResidentKiB() {
    return procStatusKiB("VmRSS");
}

std::uint64_t PeakResidentKiB() {
    return procStatusKiB("VmHWM");
}

bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

} // namespace kavra::test
