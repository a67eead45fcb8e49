// Runs a test program against a live `kavra serve` echo peer on loopback:
//   kavra_with_server TOOL PROGRAM [ARGS...]
// starts TOOL serve on a free port of 127.0.0.1, runs PROGRAM ARGS...
// 127.0.0.1 PORT, passes on what it prints, stops the server and exits with
// the program's status. It lets a test written against the C interface alone
// stay free of process handling, on every system the suite runs on.
#include "support/ChildProcess.h"
#include "support/Slowdown.h"

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kavra::test::ChildProcess;
using kavra::test::Patient;

// How long the program may run, stretched on a slow machine; the server
// outlives it.
const std::chrono::seconds kProgramLimit = Patient(std::chrono::seconds(50));

// The port the server prints in its first line; empty when it does not
// within the limit.
std::string waitForPort(ChildProcess& server, std::string& out, std::string& err) {
    const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+))");
    const auto deadline = Clock::now() + Patient(std::chrono::seconds(10));
    std::smatch match;
    while (Clock::now() < deadline) {
        if (std::regex_search(out, match, listening)) {
            return match[1].str();
        }
        server.Pump(50, out, err);
    }
    return "";
}

// The program's exit status, or -1 when it overran the limit and was killed.
int waitForExit(ChildProcess& program, std::string& out, std::string& err) {
    const auto deadline = Clock::now() + kProgramLimit;
    for (;;) {
        if (const std::optional<int> status = program.Poll()) {
            while (program.Pump(0, out, err)) {
            }
            return *status;
        }
        if (Clock::now() >= deadline) {
            program.Kill();
            err += "kavra_with_server: the program overran " +
                   std::to_string(kProgramLimit.count()) + " s and was killed\n";
            return -1;
        }
        program.Pump(20, out, err);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TOOL PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    const std::string duration = std::to_string((kProgramLimit + std::chrono::seconds(10)).count());
    ChildProcess server(argv[1], {"serve", "--listen", "127.0.0.1:0", "--duration", duration}, "");
    std::string serverOut;
    std::string serverErr;
    const std::string port = server.Started() ? waitForPort(server, serverOut, serverErr) : "";
    if (port.empty()) {
        std::fprintf(stderr, "kavra_with_server: no server came up: %s%s\n", serverOut.c_str(),
                     serverErr.c_str());
        return 1;
    }

    std::vector<std::string> args(argv + 3, argv + argc);
    args.insert(args.end(), {"127.0.0.1", port});
    ChildProcess program(argv[2], args, "");
    if (!program.Started()) {
        std::fprintf(stderr, "kavra_with_server: cannot start %s\n", argv[2]);
        return 1;
    }
    std::string out;
    std::string err;
    const int status = waitForExit(program, out, err);
    server.Kill();
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return status;
}
