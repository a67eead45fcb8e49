#include "support/TestProcess.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <psapi.h>

#include <utility>

namespace kavra::test {

namespace {

class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : m_handle(handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return m_handle; }
    HANDLE* out() { return &m_handle; }
    void reset() {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_handle);
        }
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;
};

std::string besideThisProgram(const std::string& program) {
    if (program.find_first_of("/\\") != std::string::npos) {
        return program;
    }
    char self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self, length);
    const std::size_t slash = folder.find_last_of("/\\");
    return slash == std::string::npos ? program : folder.substr(0, slash + 1) + program;
}

// One argument as the C runtime of the child splits its command line:
// quotes around it, backslashes before a quote doubled.
std::string quoted(const std::string& word) {
    std::string result = "\"";
    std::size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            result.append(backslashes * 2 + 1, '\\');
        } else {
            result.append(backslashes, '\\');
        }
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, '\\');
    return result + "\"";
}

PROCESS_MEMORY_COUNTERS memoryCounters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters) == 0) {
        return PROCESS_MEMORY_COUNTERS{};
    }
    return counters;
}

} // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    ProgramResult result;
    const std::string path = besideThisProgram(program);
    std::string commandLine = quoted(path);
    for (const std::string& arg : args) {
        commandLine += " " + quoted(arg);
    }

    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    OwnedHandle readEnd;
    OwnedHandle writeEnd;
    if (::CreatePipe(readEnd.out(), writeEnd.out(), &inherit, 0) == 0) {
        return result;
    }
    // Only the child's end is inherited.
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    OwnedHandle nothing(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing.get();
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION process{};
    if (::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         nullptr, &startup, &process) == 0) {
        return result;
    }
    const OwnedHandle processHandle(process.hProcess);
    const OwnedHandle threadHandle(process.hThread);
    // Closing our copy of the write end lets the read below end with the
    // child.
    writeEnd.reset();

    char chunk[256];
    DWORD got = 0;
    while (::ReadFile(readEnd.get(), chunk, sizeof chunk, &got, nullptr) != 0 && got > 0) {
        result.output.append(chunk, got);
    }
    // The child's C runtime writes text mode line ends; callers compare
    // text with plain newlines.
    std::string text;
    for (std::size_t i = 0; i < result.output.size(); ++i) {
        if (result.output[i] != '\r' || i + 1 >= result.output.size() ||
            result.output[i + 1] != '\n') {
            text += result.output[i];
        }
    }
    result.output = std::move(text);
    ::WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(processHandle.get(), &code) != 0) {
        result.exitCode = static_cast<int>(code);
    }
    return result;
}

std::uint64_t ResidentKiB() {
    return memoryCounters().WorkingSetSize / 1024;
}

std::uint64_t PeakResidentKiB() {
    return memoryCounters().PeakWorkingSetSize / 1024;
}

bool ResetPeakResident() {
    // Windows keeps the peak working set for the life of the process.
    return false;
}

} // namespace kavra::test
