// Fault tests that need real TCP misbehaviour (packets swallowed, SYNs
// unanswered) run a test of their own binary again inside a network
// namespace of its own, where iptables rules on its loopback make the fault.
// Nothing leaves that namespace.
#pragma once

#include "client/ClientTestUtil.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kavra::test {

inline bool Shell(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

// Where the shell finds program, or "" (the child is started without a
// search of PATH).
inline std::string Which(const char* program) {
    std::string path;
    if (FILE* found = ::popen((std::string("command -v ") + program).c_str(), "r")) {
        char line[4096] = {};
        if (std::fgets(line, sizeof line, found) != nullptr) {
            path = line;
        }
        ::pclose(found);
    }
    while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) {
        path.pop_back();
    }
    return path;
}

// Why a namespace cannot be made here, or "" when it can.
inline std::string NamespaceUnavailable() {
    if (::geteuid() != 0) {
        return "making a network namespace needs root";
    }
    if (Which("unshare").empty() || !Shell("command -v iptables && command -v ip")) {
        return "unshare, iptables or ip is not installed";
    }
    if (!Shell("unshare -n true")) {
        return "this system does not allow a new network namespace";
    }
    return "";
}

// Runs the (disabled) test filter of this binary in a new network namespace
// within limit: its output, with the test's outcome asserted by the caller.
struct NamespaceRun {
    std::optional<int> status;
    std::string out;
    std::string err;
};

// Held while a namespace run lasts. Two of them side by side (CTest runs two
// tests at once) delayed each other's timed steps by up to a second, so they
// take turns; each run is bounded, so a turn always comes.
class NamespaceTurn {
public:
    NamespaceTurn() : m_fd(::open("/tmp/kavra-netns.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600)) {
        if (m_fd >= 0) {
            static_cast<void>(::flock(m_fd, LOCK_EX));
        }
    }
    ~NamespaceTurn() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    NamespaceTurn(const NamespaceTurn&) = delete;
    NamespaceTurn& operator=(const NamespaceTurn&) = delete;

private:
    int m_fd;
};

inline NamespaceRun RunInNamespace(const std::string& filter, milliseconds limit) {
    const NamespaceTurn turn;
    NamespaceRun run;
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        run.err = "the test binary cannot find itself";
        return run;
    }
    ChildProcess child(
        Which("unshare"),
        {"-n", "--", self, "--gtest_also_run_disabled_tests", "--gtest_filter=" + filter}, "");
    if (!child.Started()) {
        run.err = "unshare did not start";
        return run;
    }
    const auto deadline = Clock::now() + limit;
    while (!(run.status = child.Poll()) && Clock::now() < deadline) {
        child.Pump(200, run.out, run.err);
    }
    child.Pump(0, run.out, run.err);
    return run;
}

// The lines of out that begin with prefix, for the outer test's log.
inline std::string LinesWith(const std::string& out, const std::string& prefix) {
    std::string lines;
    for (std::size_t at = out.find(prefix); at != std::string::npos;
         at = out.find(prefix, at + 1)) {
        lines += out.substr(at, out.find('\n', at) - at) + "\n";
    }
    return lines;
}

} // namespace kavra::test
