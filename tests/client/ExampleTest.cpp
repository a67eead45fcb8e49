// Runs the echo example as a separate process against an in-test echo peer.
#include "ClientTestUtil.h"
#include "support/TestProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        if (!srv.WaitForConnection(0, Patient(std::chrono::seconds(10)))) {
            return;
        }
        for (int i = 0; i < 3; ++i) {
            const std::optional<Bytes> body = ReadFrame(srv, 0, Patient(std::chrono::seconds(10)));
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

#ifdef KAVRA_EXAMPLE_DECODER_LOOP

Bytes TextFrame(const std::string& text) {
    return FrameBytes(Bytes(text.begin(), text.end()));
}

// The peer tears frames across writes and mixes in garbage, a bad header and
// an oversize frame full of 0xFF; the example's own loop must still print
// exactly the three text frames in order, and account for what it skipped.
TEST(DecoderLoopExample, FramesSurviveGarbageAndTornWrites) {
    LoopbackServer srv;
    const Bytes oversize(KavraClientThread::MAX_PDU_LENGTH + 1, 0xFF);
    const Bytes stream = Concat({Bytes{0x01, 0xFF, 0x02}, TextFrame("one"), HeaderBytes(0),
                                 FrameBytes(oversize), TextFrame("two"), Bytes(5, 0x20),
                                 TextFrame("three")});
    std::jthread peer([&] {
        if (!srv.WaitForConnection(0, Patient(std::chrono::seconds(10)))) {
            return;
        }
        for (std::size_t at = 0; at < stream.size(); at += 7) {
            const std::size_t piece = std::min<std::size_t>(7, stream.size() - at);
            if (!srv.Send(0, stream.data() + at, piece)) {
                return;
            }
            if (at % 1001 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    });

    const ProgramResult result =
        RunProgram(KAVRA_EXAMPLE_DECODER_LOOP, {"127.0.0.1", std::to_string(srv.Port()), "3"});
    peer.join();

    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("frame: one\n"
                                 "frame: two\n"
                                 "frame: three\n"
                                 "3 frames; skipped 8 garbage bytes, 1 bad headers, 1 oversize\n"),
              std::string::npos)
        << result.output;
}

#endif

} // namespace
} // namespace kavra::test
