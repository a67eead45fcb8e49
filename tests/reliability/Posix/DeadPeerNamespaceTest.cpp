// A peer that vanishes without a word (power cut, a firewall that forgets
// the connection) is found by keepalive alone, and the client reconnects
// once the peer is reachable again. Real TCP: the test runs itself again in
// a network namespace of its own, where an iptables rule on its loopback
// swallows every packet of the connection. Nothing leaves that namespace.
#include "reliability/ReliabilityUtil.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <unistd.h>

namespace kavra::test {
namespace {

using std::chrono::seconds;

constexpr unsigned int kIdleS = 1;
constexpr unsigned int kIntervalS = 1;
constexpr unsigned int kProbes = 2;

bool Shell(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

// Where the shell finds program, or "" (the child is started without a
// search of PATH).
std::string Which(const char* program) {
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

std::string Rules(const char* action, unsigned short port) {
    const std::string p = std::to_string(port);
    return std::string("iptables ") + action + " INPUT -p tcp --dport " + p + " -j DROP && " +
           "iptables " + action + " INPUT -p tcp --sport " + p + " -j DROP";
}

// Runs only inside the namespace, started by the test below.
TEST(DeadPeerNamespace, DISABLED_Inside) {
    ASSERT_TRUE(Shell("ip link set lo up")) << "no loopback in the namespace";
    LoopbackServer srv;
    OpenClient client;
    CServerStatus server("127.0.0.1", srv.Port());
    server.SetKeepAlive(kIdleS, kIntervalS, kProbes);
    server.SetBackoff(200, 500);
    server.SetConnectTimeoutMs(1000);
    ASSERT_EQ(client.SetSocket(nullptr, 0, &server), 1);
    ASSERT_EQ(client.Create(), 1);
    ASSERT_TRUE(srv.WaitForConnection(0, kSoon));

    ASSERT_TRUE(Shell(Rules("-A", srv.Port()))) << "iptables refused the rules";
    const auto vanished = Clock::now();
    // Keepalive's own bound, plus the kernel's timer granularity and a loaded machine.
    const milliseconds bound = seconds(kIdleS + kIntervalS * kProbes) + Patient(seconds(3));
    ASSERT_TRUE(WaitUntil([&] { return !client.IsConnected(); }, bound))
        << "the vanished peer was not noticed";
    const auto noticedMs =
        std::chrono::duration_cast<milliseconds>(Clock::now() - vanished).count();
    EXPECT_EQ(client.GetStats().connectionsLost, 1U);

    ASSERT_TRUE(Shell(Rules("-D", srv.Port())));
    EXPECT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    EXPECT_TRUE(srv.WaitForConnection(1, kSoon));
    std::cout << "dead peer noticed after " << noticedMs << " ms (keepalive " << kIdleS << " s + "
              << kProbes << " x " << kIntervalS << " s)\n";
}

TEST(DeadPeerNamespace, VanishedPeerIsNoticedAndTheClientReconnects) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "making a network namespace needs root";
    }
    const std::string unshare = Which("unshare");
    if (unshare.empty() || !Shell("command -v iptables && command -v ip")) {
        GTEST_SKIP() << "unshare, iptables or ip is not installed";
    }
    if (!Shell("unshare -n true")) {
        GTEST_SKIP() << "this system does not allow a new network namespace";
    }
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    ChildProcess child(unshare, {"-n", "--", self, "--gtest_also_run_disabled_tests",
                                   "--gtest_filter=DeadPeerNamespace.DISABLED_Inside"},
                       "");
    ASSERT_TRUE(child.Started());
    std::string out;
    std::string err;
    std::optional<int> status;
    const auto deadline = Clock::now() + Patient(seconds(40));
    while (!(status = child.Poll()) && Clock::now() < deadline) {
        child.Pump(200, out, err);
    }
    child.Pump(0, out, err);
    ASSERT_TRUE(status.has_value()) << "the namespace run did not end\n" << out << err;
    EXPECT_EQ(*status, 0) << out << err;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out << err;
    const auto noticed = out.find("dead peer noticed");
    if (noticed != std::string::npos) {
        std::cout << out.substr(noticed, out.find('\n', noticed) - noticed) << "\n";
    }
}

} // namespace
} // namespace kavra::test
