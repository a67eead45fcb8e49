// Runs the echo example as a separate process against an in-test echo peer.
#include "ClientTestUtil.h"
#include "support/TestProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace kavra::test {
namespace {

#ifdef KAVRA_EXAMPLE_ECHO_CLIENT

ProgramResult RunExample(unsigned short port, int count) {
    return RunProgram(KAVRA_EXAMPLE_ECHO_CLIENT,
                      {"127.0.0.1", std::to_string(port), std::to_string(count)});
}

TEST(EchoExample, ThreeMessagesComeBack) {
    LoopbackServer srv;
    std::atomic<int> echoed{0};
    // Reads whole frames from the example and writes each one back as it is.
    std::jthread peer([&] {
        if (!srv.WaitForConnection(0, std::chrono::seconds(10))) {
            return;
        }
        for (int i = 0; i < 3; ++i) {
            const std::optional<Bytes> body = ReadFrame(srv, 0, std::chrono::seconds(10));
            if (!body || !srv.Send(0, FrameBytes(*body))) {
                return;
            }
            echoed.fetch_add(1);
        }
    });

    const ProgramResult result = RunExample(srv.Port(), 3);
    peer.join();

    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("received: hello 0\n"
                                 "received: hello 1\n"
                                 "received: hello 2\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(echoed.load(), 3);
}

TEST(EchoExample, FailsWhenNothingListens) {
    unsigned short port = 0;
    {
        LoopbackServer srv;
        port = srv.Port();
        srv.Stop();
    }
    const ProgramResult result = RunExample(port, 1);
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_EQ(result.output.find("received:"), std::string::npos) << result.output;
}

#else

TEST(EchoExample, ThreeMessagesComeBack) {
    GTEST_SKIP() << "the example program is not built";
}

#endif

} // namespace
} // namespace kavra::test
