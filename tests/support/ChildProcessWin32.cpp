#include "support/ChildProcess.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace kavra::test {

namespace {

void closeHandle(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    handle = nullptr;
}

std::string besideThisProgram(const std::string& program) {
    if (program.find_first_of("/\\") != std::string::npos) {
        return program;
    }
    char self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string path(self, length);
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? program : path.substr(0, slash + 1) + program;
}

// One argument as the child's C runtime splits its command line.
std::string quoted(const std::string& word) {
    std::string result = "\"";
    std::size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        result.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, '\\');
    return result + "\"";
}

// Text written by the child's C runtime ends its lines with "\r\n".
struct LineEnds {
    bool carriageReturn = false;

    void Append(std::string& to, const char* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (carriageReturn && bytes[i] != '\n') {
                to += '\r';
            }
            carriageReturn = bytes[i] == '\r';
            if (!carriageReturn) {
                to += bytes[i];
            }
        }
    }
};

// Wine now and then refuses to start a process that starts at the next try
// (one CI run failed so; its program never ran). A refused start is tried
// again a few times, each refusal written to standard error; a missing
// program is not.
bool startProcess(const std::string& path, std::string& commandLine, STARTUPINFOA& startup,
                  PROCESS_INFORMATION& process, unsigned long& error) {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        // A process group of its own, so that Interrupt reaches the child only.
        if (::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                             CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process) != 0) {
            error = 0;
            return true;
        }
        error = ::GetLastError();
        if (attempt == kAttempts || error == ERROR_FILE_NOT_FOUND ||
            error == ERROR_PATH_NOT_FOUND) {
            return false;
        }
        std::fprintf(stderr,
                     "ChildProcess: CreateProcess of %s failed with error %lu; trying again\n",
                     path.c_str(), error);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace

struct ChildProcess::State {
    PROCESS_INFORMATION process{};
    bool started = false;
    bool reaped = false;
    unsigned long startError = 0;
    HANDLE out = nullptr;
    HANDLE err = nullptr;
    LineEnds outEnds;
    LineEnds errEnds;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& input)
    : m_state(std::make_unique<State>()) {
    const std::string path = besideThisProgram(program);
    std::string commandLine = quoted(path);
    for (const std::string& arg : args) {
        commandLine += " " + quoted(arg);
    }
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE inRead = nullptr;
    HANDLE inWrite = nullptr;
    HANDLE outWrite = nullptr;
    HANDLE errWrite = nullptr;
    constexpr DWORD kPipeBytes = 1U << 16;
    if (::CreatePipe(&inRead, &inWrite, &inherit, kPipeBytes) == 0 ||
        ::CreatePipe(&m_state->out, &outWrite, &inherit, kPipeBytes) == 0 ||
        ::CreatePipe(&m_state->err, &errWrite, &inherit, kPipeBytes) == 0) {
        m_state->startError = ::GetLastError();
        closeHandle(inRead);
        closeHandle(inWrite);
        closeHandle(outWrite);
        return;
    }
    // Only the child's ends are inherited.
    for (HANDLE own : {inWrite, m_state->out, m_state->err}) {
        ::SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    m_state->started =
        startProcess(path, commandLine, startup, m_state->process, m_state->startError);
    closeHandle(inRead);
    closeHandle(outWrite);
    closeHandle(errWrite);
    if (m_state->started) {
        DWORD written = 0;
        ::WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    }
    closeHandle(inWrite);
}

ChildProcess::~ChildProcess() {
    if (m_state->started && !m_state->reaped) {
        Kill();
    }
    closeHandle(m_state->process.hProcess);
    closeHandle(m_state->process.hThread);
    closeHandle(m_state->out);
    closeHandle(m_state->err);
}

bool ChildProcess::Started() const {
    return m_state->started;
}

unsigned long ChildProcess::StartError() const {
    return m_state->startError;
}

bool ChildProcess::Pump(int timeoutMs, std::string& out, std::string& err) {
    // Anonymous pipes cannot be waited on: look, and nap briefly between looks.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool any = false;
        char chunk[4096];
        for (int i = 0; i < 2; ++i) {
            const HANDLE pipe = i == 0 ? m_state->out : m_state->err;
            DWORD available = 0;
            if (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) == 0 ||
                available == 0) {
                continue;
            }
            DWORD got = 0;
            const DWORD want = std::min<DWORD>(available, sizeof chunk);
            if (::ReadFile(pipe, chunk, want, &got, nullptr) != 0 && got > 0) {
                if (i == 0) {
                    m_state->outEnds.Append(out, chunk, got);
                } else {
                    m_state->errEnds.Append(err, chunk, got);
                }
                any = true;
            }
        }
        if (any || std::chrono::steady_clock::now() >= deadline) {
            return any;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<int> ChildProcess::Poll() {
    if (!m_state->started || m_state->reaped ||
        ::WaitForSingleObject(m_state->process.hProcess, 0) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    m_state->reaped = true;
    DWORD code = 0;
    if (::GetExitCodeProcess(m_state->process.hProcess, &code) == 0) {
        return -1;
    }
    return static_cast<int>(code);
}

void ChildProcess::Kill() {
    ::TerminateProcess(m_state->process.hProcess, 137);
    ::WaitForSingleObject(m_state->process.hProcess, INFINITE);
    m_state->reaped = true;
}

bool ChildProcess::Interrupt() {
    return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, m_state->process.dwProcessId) != 0;
}

} // namespace kavra::test
