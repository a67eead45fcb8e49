// Runs the echo example as a separate process against an in-test echo peer.
#include "ClientTestUtil.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace kavra::test {
namespace {

#ifdef KAVRA_EXAMPLE_ECHO_CLIENT

struct ProcessResult {
    int status = -1;
    std::string output;
};

// Runs command through the shell, collecting stdout and stderr.
ProcessResult RunCommand(const std::string& command) {
    ProcessResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 256> chunk{};
    std::size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        result.output.append(chunk.data(), n);
    }
    result.status = ::pclose(pipe);
    return result;
}

std::string ExampleCommand(unsigned short port, int count) {
    return std::string("'") + KAVRA_EXAMPLE_ECHO_CLIENT + "' 127.0.0.1 " + std::to_string(port) +
           " " + std::to_string(count);
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

    const ProcessResult result = RunCommand(ExampleCommand(srv.Port(), 3));
    peer.join();

    ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
    EXPECT_EQ(WEXITSTATUS(result.status), 0) << result.output;
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
    const ProcessResult result = RunCommand(ExampleCommand(port, 1));
    ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
    EXPECT_EQ(WEXITSTATUS(result.status), 1) << result.output;
    EXPECT_EQ(result.output.find("received:"), std::string::npos) << result.output;
}

#else

TEST(EchoExample, ThreeMessagesComeBack) {
    GTEST_SKIP() << "the example program is not built";
}

#endif

} // namespace
} // namespace kavra::test
