// A peer that vanishes without a word (power cut, a firewall that forgets
// the connection) is found by keepalive alone, and the client reconnects
// once the peer is reachable again. Real TCP in a namespace of the test's
// own (NetNamespace.h), where an iptables rule on its loopback swallows
// every packet of the connection.
#include "reliability/Posix/NetNamespace.h"
#include "reliability/ReliabilityUtil.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>

namespace kavra::test {
namespace {

using std::chrono::seconds;

constexpr unsigned int kIdleS = 1;
constexpr unsigned int kIntervalS = 1;
constexpr unsigned int kProbes = 2;

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
    const std::string why = NamespaceUnavailable();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    const NamespaceRun run =
        RunInNamespace("DeadPeerNamespace.DISABLED_Inside", Patient(seconds(40)));
    ASSERT_TRUE(run.status.has_value()) << "the namespace run did not end\n" << run.out << run.err;
    EXPECT_EQ(*run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out << run.err;
    std::cout << LinesWith(run.out, "dead peer noticed");
}

} // namespace
} // namespace kavra::test
