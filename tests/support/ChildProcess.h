// A child process with its standard input, output and error on pipes, for
// tests that drive a program of the build. One implementation per system:
// ChildProcessPosix.cpp, ChildProcessWin32.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kavra::test {

class ChildProcess {
public:
    // Starts program with args (each one argument) and writes input to its
    // standard input, which is then closed. On Windows a program named
    // without a folder is taken from the test binary's own folder. Started()
    // tells whether it runs.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& input);
    // Kills and reaps a child that still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const;
    // Why the start failed: errno, or GetLastError on Windows; 0 once it
    // started. On POSIX a program that exec cannot run still starts, and
    // exits 127.
    unsigned long StartError() const;
    // Appends what the child printed since the last call to out and err,
    // waiting up to timeoutMs for anything. True when anything came. On
    // Windows, line ends come as "\n".
    bool Pump(int timeoutMs, std::string& out, std::string& err);
    // The exit status once the child has ended (it is then reaped), -1 when
    // it did not exit normally; nothing while it runs.
    std::optional<int> Poll();
    // Ends the child at once and reaps it.
    void Kill();
    // Asks the child to stop as Ctrl-C does: SIGINT, or on Windows a
    // Ctrl-Break event to the child's own process group. False when the
    // system could not deliver it: a Windows process without a console (as
    // under Wine when no terminal is attached) has no one to send it.
    bool Interrupt();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace kavra::test
