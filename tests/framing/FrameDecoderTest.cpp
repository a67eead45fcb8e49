#include "kavra/FrameDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using kavra::FrameDecoder;

Bytes frame(int announced, std::size_t bodySize, unsigned char fill) {
    Bytes out(KavraHeader::HEADER_LENGTH);
    KavraHeader::EncodeHeader(announced, out.data());
    out.insert(out.end(), bodySize, fill);
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct Decoded {
    std::vector<Bytes> bodies;
    FrameDecoder::Counters counters;
    std::size_t mostBuffered = 0;
};

// Feeds stream in pieces of at most piece bytes, taking frames as they come.
Decoded decode(const Bytes& stream, std::size_t piece) {
    FrameDecoder decoder;
    Decoded result;
    std::size_t at = 0;
    Bytes body;
    while (at < stream.size() || decoder.HasFrame()) {
        const std::size_t offered = std::min(piece, stream.size() - at);
        at += decoder.Feed(stream.data() + at, offered);
        result.mostBuffered = std::max(result.mostBuffered, decoder.Buffered());
        if (decoder.Next(body)) {
            result.bodies.push_back(body);
        }
    }
    result.counters = decoder.GetCounters();
    return result;
}

// Garbage with near-miss runs, a frame, an empty and a negative header, an
// oversize frame, an absurd length, and a last frame.
const Bytes kStream = cat({{0x12, 0xFF, 0xFF, 0x00, 0x34},
                           frame(3, 3, 0x01),
                           frame(0, 0, 0),
                           frame(-5, 0, 0),
                           frame(KavraHeader::MAX_BODY_LENGTH + 1, KavraHeader::MAX_BODY_LENGTH + 1,
                                 0xFF),
                           frame(0x7FFFFFFF, 0, 0),
                           frame(KavraHeader::MAX_BODY_LENGTH, KavraHeader::MAX_BODY_LENGTH, 0x02)});

TEST(FrameDecoder, ByteByByteFindsWhatOneFeedFinds) {
    const Decoded whole = decode(kStream, kStream.size());
    const Decoded single = decode(kStream, 1);

    ASSERT_EQ(whole.bodies.size(), 2U);
    EXPECT_EQ(whole.bodies[0], Bytes(3, 0x01));
    EXPECT_EQ(whole.bodies[1], Bytes(KavraHeader::MAX_BODY_LENGTH, 0x02));
    EXPECT_EQ(whole.counters.skippedBytes, 5U);
    EXPECT_EQ(whole.counters.badHeaders, 3U);
    EXPECT_EQ(whole.counters.oversizeDiscarded, 1U);
    EXPECT_EQ(whole.counters.frames, 2U);

    EXPECT_EQ(single.bodies, whole.bodies);
    EXPECT_EQ(single.counters.skippedBytes, whole.counters.skippedBytes);
    EXPECT_EQ(single.counters.badHeaders, whole.counters.badHeaders);
    EXPECT_EQ(single.counters.oversizeDiscarded, whole.counters.oversizeDiscarded);
    EXPECT_EQ(single.counters.frames, whole.counters.frames);
}

// An oversize body of 0xFF bytes would look like sync marks if scanned; it
// is skipped unstored, and what follows it is found.
TEST(FrameDecoder, OversizeBodyIsSkippedWithBoundedMemory) {
    const Bytes stream = cat({frame(KavraHeader::MAX_DISCARD_LENGTH, KavraHeader::MAX_DISCARD_LENGTH,
                                    0xFF),
                              frame(4, 4, 0x07)});
    const Decoded got = decode(stream, 64 * 1024);

    ASSERT_EQ(got.bodies.size(), 1U);
    EXPECT_EQ(got.bodies[0], Bytes(4, 0x07));
    EXPECT_EQ(got.counters.oversizeDiscarded, 1U);
    EXPECT_EQ(got.counters.skippedBytes, 0U);
    EXPECT_EQ(got.counters.badHeaders, 0U);
    EXPECT_LE(got.mostBuffered,
              static_cast<std::size_t>(KavraHeader::HEADER_LENGTH + KavraHeader::MAX_BODY_LENGTH));
}

// The price of finding frames behind 0xFF padding: a header FF 00 00 12
// behind its sync mark, then a byte 34, reads as the frame on the last ten
// 0xFF, with a body of 0x1234 bytes; its first 0xFF counts as skipped.
TEST(FrameDecoder, HeaderWhoseLengthBeginsFF00ReadsAsTheFrameOnItsLastTenFF) {
    const Bytes stream = cat({frame(-(1 << 24) + 0x12, 0, 0), {0x34}, Bytes(0x1234, 0x05),
                              frame(3, 3, 0x06)});
    for (const std::size_t piece : {std::size_t{1}, stream.size()}) {
        const Decoded got = decode(stream, piece);
        ASSERT_EQ(got.bodies.size(), 2U) << "in pieces of " << piece;
        EXPECT_EQ(got.bodies[0], Bytes(0x1234, 0x05));
        EXPECT_EQ(got.bodies[1], Bytes(3, 0x06));
        EXPECT_EQ(got.counters.skippedBytes, 1U);
        EXPECT_EQ(got.counters.badHeaders, 0U);
    }
}

} // namespace
