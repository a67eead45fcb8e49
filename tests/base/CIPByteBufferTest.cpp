#include "kavra/base/CIPByteBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <deque>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes contentOf(const CIPByteBuffer& buf) {
    const unsigned char* p = buf.getBuffer();
    if (buf.getLength() == 0) {
        return {};
    }
    return Bytes(p, p + buf.getLength());
}

CIPByteBuffer bufferOf(const Bytes& bytes) {
    CIPByteBuffer buf;
    buf.appendBytes(bytes.data(), static_cast<int>(bytes.size()));
    return buf;
}

Bytes sequence(std::size_t n, unsigned char first = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<unsigned char>(first + i);
    }
    return out;
}

} // namespace

TEST(CIPByteBufferEmpty, FreshBufferHasNoContentAndNoBlock) {
    CIPByteBuffer buf;
    EXPECT_EQ(buf.getLength(), 0u);
    EXPECT_EQ(buf.getBuffer(), nullptr);
    EXPECT_EQ(buf.removeBytes0(5), 0);
    EXPECT_EQ(buf.removeInt(), 0);
    EXPECT_EQ(buf.removeShort(), 0);
    EXPECT_EQ(buf.getLength(), 0u);
}

TEST(CIPByteBufferEmpty, RemoveStringFromEmptyZeroFillsDestination) {
    CIPByteBuffer buf;
    unsigned char dst[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(buf.removeString(dst, 4), 0);
    EXPECT_EQ(Bytes(dst, dst + 6), (Bytes{0, 0, 0, 0, 9, 9}));
}

TEST(CIPByteBufferEmpty, EmptyDropsContentButKeepsAllocation) {
    CIPByteBuffer buf = bufferOf(sequence(10));
    const unsigned char* block = buf.getBuffer();
    buf.empty();
    EXPECT_EQ(buf.getLength(), 0u);
    buf.appendBytes(sequence(10, 50).data(), 10);
    EXPECT_EQ(buf.getBuffer(), block);
    EXPECT_EQ(contentOf(buf), sequence(10, 50));
}

TEST(CIPByteBufferIntegers, AppendIntIsBigEndian) {
    CIPByteBuffer buf;
    buf.appendInt(0x01020304);
    buf.appendInt(-2);
    buf.appendInt(5);
    EXPECT_EQ(contentOf(buf),
              (Bytes{0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x00, 0x05}));
}

TEST(CIPByteBufferIntegers, RemoveIntReadsBigEndianAndRoundTripsExtremes) {
    CIPByteBuffer buf = bufferOf({0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05});
    EXPECT_EQ(buf.removeInt(), static_cast<int>(0x80000001u));
    EXPECT_EQ(buf.removeInt(), 5);
    EXPECT_EQ(buf.getLength(), 0u);

    for (int v : {0, 1, -1, INT_MAX, INT_MIN, 0x7F00FF01}) {
        buf.appendInt(v);
        EXPECT_EQ(buf.getLength(), 4u);
        EXPECT_EQ(buf.removeInt(), v);
    }
}

TEST(CIPByteBufferIntegers, ShortIsBigEndianAndRoundTrips) {
    CIPByteBuffer buf;
    buf.appendShort(0x0102);
    buf.appendShort(-2);
    EXPECT_EQ(contentOf(buf), (Bytes{0x01, 0x02, 0xFF, 0xFE}));
    EXPECT_EQ(buf.removeShort(), 0x0102);
    EXPECT_EQ(buf.removeShort(), -2);
    for (short v : {short{0}, short{-32768}, short{32767}}) {
        buf.appendShort(v);
        EXPECT_EQ(buf.removeShort(), v);
    }
}

TEST(CIPByteBufferShortRemoval, RemoveIntWithThreeBytesTakesThemAllAndReturnsZero) {
    CIPByteBuffer buf = bufferOf({0x11, 0x22, 0x33});
    EXPECT_EQ(buf.removeInt(), 0);
    EXPECT_EQ(buf.getLength(), 0u);
    // The buffer stays usable after the short read.
    buf.appendInt(7);
    EXPECT_EQ(buf.removeInt(), 7);
}

TEST(CIPByteBufferShortRemoval, RemoveShortWithOneByteTakesItAndReturnsZero) {
    CIPByteBuffer buf = bufferOf({0x42});
    EXPECT_EQ(buf.removeShort(), 0);
    EXPECT_EQ(buf.getLength(), 0u);
}

TEST(CIPByteBufferShortRemoval, RemoveBytes0DropsOnlyWhatIsThere) {
    CIPByteBuffer buf = bufferOf(sequence(6));
    EXPECT_EQ(buf.removeBytes0(2), 2);
    EXPECT_EQ(contentOf(buf), (Bytes{2, 3, 4, 5}));
    EXPECT_EQ(buf.removeBytes0(100), 4);
    EXPECT_EQ(buf.getLength(), 0u);
}

TEST(CIPByteBufferShortRemoval, RemoveStringCopiesWhatIsThereAndZeroFillsTheRest) {
    CIPByteBuffer buf = bufferOf({0xA1, 0xA2, 0xA3});
    unsigned char dst[8];
    for (auto& b : dst) {
        b = 0xEE;
    }
    EXPECT_EQ(buf.removeString(dst, 6), 3);
    EXPECT_EQ(Bytes(dst, dst + 8), (Bytes{0xA1, 0xA2, 0xA3, 0, 0, 0, 0xEE, 0xEE}));
    EXPECT_EQ(buf.getLength(), 0u);
}

TEST(CIPByteBufferShortRemoval, RemoveStringExactAndPartial) {
    CIPByteBuffer buf = bufferOf(sequence(5, 1));
    unsigned char dst[3] = {};
    EXPECT_EQ(buf.removeString(dst, 3), 3);
    EXPECT_EQ(Bytes(dst, dst + 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(contentOf(buf), (Bytes{4, 5}));
}

TEST(CIPByteBufferShortRemoval, RemoveStringWithNullDestinationStillConsumes) {
    CIPByteBuffer buf = bufferOf(sequence(5));
    EXPECT_EQ(buf.removeString(nullptr, 3), 3);
    EXPECT_EQ(contentOf(buf), (Bytes{3, 4}));
}

TEST(CIPByteBufferNegativeCounts, AreTreatedAsZero) {
    CIPByteBuffer buf = bufferOf(sequence(4));
    unsigned char src[4] = {9, 9, 9, 9};
    buf.appendBytes(src, -1);
    buf.appendBytes0(-5);
    buf.appendString(nullptr, INT_MIN);
    EXPECT_EQ(buf.getLength(), 4u);
    EXPECT_EQ(buf.removeBytes0(-3), 0);
    unsigned char dst[2] = {7, 7};
    EXPECT_EQ(buf.removeString(dst, -2), 0);
    EXPECT_EQ(Bytes(dst, dst + 2), (Bytes{7, 7}));
    buf.reserve(-10);
    EXPECT_EQ(contentOf(buf), sequence(4));
}

TEST(CIPByteBufferAppend, AppendBytes0AddsZeros) {
    CIPByteBuffer buf = bufferOf({0xFF});
    buf.appendBytes0(3);
    EXPECT_EQ(contentOf(buf), (Bytes{0xFF, 0, 0, 0}));
}

TEST(CIPByteBufferAppend, AppendStringWithNullGrowsForTheCallerToFill) {
    CIPByteBuffer buf = bufferOf({1, 2});
    buf.appendString(nullptr, 3);
    ASSERT_EQ(buf.getLength(), 5u);
    unsigned char* p = buf.getBuffer();
    p[2] = 7;
    p[3] = 8;
    p[4] = 9;
    EXPECT_EQ(contentOf(buf), (Bytes{1, 2, 7, 8, 9}));
}

TEST(CIPByteBufferAppend, AppendStringWithSourceCopies) {
    CIPByteBuffer buf;
    const char text[] = "abc";
    buf.appendString(text, 3);
    EXPECT_EQ(contentOf(buf), (Bytes{'a', 'b', 'c'}));
}

TEST(CIPByteBufferAppend, AppendBufferCopiesOtherContentAndLeavesOtherAlone) {
    CIPByteBuffer a = bufferOf({1, 2});
    CIPByteBuffer b = bufferOf({3, 4, 5, 6});
    b.removeBytes0(1);
    a.appendBuffer(&b);
    EXPECT_EQ(contentOf(a), (Bytes{1, 2, 4, 5, 6}));
    EXPECT_EQ(contentOf(b), (Bytes{4, 5, 6}));
    a.appendBuffer(nullptr);
    CIPByteBuffer none;
    a.appendBuffer(&none);
    EXPECT_EQ(contentOf(a), (Bytes{1, 2, 4, 5, 6}));
}

TEST(CIPByteBufferAppend, AppendBufferToItselfDoublesEvenWhenGrowing) {
    for (std::size_t n : {std::size_t{3}, std::size_t{40}, std::size_t{1000}}) {
        CIPByteBuffer buf = bufferOf(sequence(n));
        buf.appendBuffer(&buf);
        Bytes expected = sequence(n);
        const Bytes tail = sequence(n);
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(contentOf(buf), expected) << n;
    }
}

TEST(CIPByteBufferGrowth, LargeAppendsKeepContentIntact) {
    CIPByteBuffer buf;
    Bytes model;
    for (int round = 0; round < 12; ++round) {
        const Bytes chunk =
            sequence(static_cast<std::size_t>(1) << round, static_cast<unsigned char>(round * 17));
        buf.appendBytes(chunk.data(), static_cast<int>(chunk.size()));
        model.insert(model.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(contentOf(buf), model);
}

TEST(CIPByteBufferGrowth, CompactionAfterFrontRemovalKeepsContentIntact) {
    CIPByteBuffer buf;
    buf.reserve(64);
    buf.appendBytes(sequence(64).data(), 64);
    const unsigned char* block = buf.getBuffer();
    // Leave a small tail behind a large dead front, then force the next append
    // to need room: the tail moves to the front of the same block.
    EXPECT_EQ(buf.removeBytes0(60), 60);
    const Bytes more = sequence(50, 100);
    buf.appendBytes(more.data(), 50);
    EXPECT_EQ(buf.getBuffer(), block);
    Bytes expected{60, 61, 62, 63};
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(contentOf(buf), expected);
}

TEST(CIPByteBufferGrowth, ReserveAvoidsLaterReallocation) {
    CIPByteBuffer buf = bufferOf(sequence(10));
    buf.reserve(5000);
    const unsigned char* block = buf.getBuffer();
    const Bytes more = sequence(4990, 3);
    buf.appendBytes(more.data(), 4990);
    EXPECT_EQ(buf.getBuffer(), block);
    Bytes expected = sequence(10);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(contentOf(buf), expected);
}

TEST(CIPByteBufferGrowth, ContentLargerThanTheDeadFrontIsNotSlidBack) {
    CIPByteBuffer buf;
    buf.reserve(64);
    buf.appendBytes(sequence(64).data(), 64);
    const unsigned char* block = buf.getBuffer();
    // 44 bytes behind 20 dead ones: sliding them back on every append would
    // make a steady reader quadratic, so the buffer grows into a new block.
    buf.removeBytes0(20);
    buf.appendBytes(sequence(20, 200).data(), 20);
    EXPECT_NE(buf.getBuffer(), block);
    Bytes expected = sequence(44, 20);
    const Bytes more = sequence(20, 200);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(contentOf(buf), expected);
}

TEST(CIPByteBufferGrowth, ReserveCountsFromTheCurrentFront) {
    CIPByteBuffer buf;
    buf.reserve(64);
    buf.appendBytes(sequence(64).data(), 64);
    buf.removeBytes0(20);
    // 44 bytes of content behind 20 dead ones: room for 64 content bytes
    // means room for 20 more appended bytes without moving anything again.
    buf.reserve(64);
    const unsigned char* front = buf.getBuffer();
    buf.appendBytes(sequence(20, 200).data(), 20);
    EXPECT_EQ(buf.getBuffer(), front);
    Bytes expected = sequence(44, 20);
    const Bytes more = sequence(20, 200);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(contentOf(buf), expected);
}

TEST(CIPByteBufferGrowth, ContentBeyondIntMaxIsRefused) {
    CIPByteBuffer buf = bufferOf({1, 2, 3});
    // INT_MAX more bytes would overflow every int count; the buffer must throw
    // before it allocates or copies anything.
    EXPECT_THROW(buf.appendBytes0(INT_MAX), std::length_error);
    EXPECT_EQ(contentOf(buf), (Bytes{1, 2, 3}));
}

TEST(CIPByteBufferModel, RandomInterleavedOperationsMatchDeque) {
    std::mt19937 rng(20240611u);
    CIPByteBuffer buf;
    std::deque<unsigned char> model;
    std::uniform_int_distribution<int> op(0, 8);
    std::uniform_int_distribution<int> count(0, 300);
    std::uniform_int_distribution<int> byte(0, 255);

    for (int step = 0; step < 4000; ++step) {
        switch (op(rng)) {
        case 0:
        case 1: {
            Bytes chunk(static_cast<std::size_t>(count(rng)));
            for (auto& b : chunk) {
                b = static_cast<unsigned char>(byte(rng));
            }
            buf.appendBytes(chunk.data(), static_cast<int>(chunk.size()));
            model.insert(model.end(), chunk.begin(), chunk.end());
            break;
        }
        case 2: {
            const int v = static_cast<int>(rng());
            buf.appendInt(v);
            const auto u = static_cast<std::uint32_t>(v);
            for (int shift = 24; shift >= 0; shift -= 8) {
                model.push_back(static_cast<unsigned char>(u >> shift));
            }
            break;
        }
        case 3: {
            const int n = count(rng) / 3;
            buf.appendBytes0(n);
            model.insert(model.end(), static_cast<std::size_t>(n), 0);
            break;
        }
        case 4: {
            const int n = count(rng);
            const int expected = std::min(n, static_cast<int>(model.size()));
            ASSERT_EQ(buf.removeBytes0(n), expected);
            model.erase(model.begin(), model.begin() + expected);
            break;
        }
        case 5: {
            const int n = count(rng) / 2;
            Bytes dst(static_cast<std::size_t>(n) + 1, 0xCD);
            const int expected = std::min(n, static_cast<int>(model.size()));
            ASSERT_EQ(buf.removeString(dst.data(), n), expected);
            for (int i = 0; i < n; ++i) {
                const unsigned char want = i < expected ? model[static_cast<std::size_t>(i)]
                                                        : static_cast<unsigned char>(0);
                ASSERT_EQ(dst[static_cast<std::size_t>(i)], want);
            }
            ASSERT_EQ(dst.back(), 0xCD);
            model.erase(model.begin(), model.begin() + expected);
            break;
        }
        case 6: {
            int expected = 0;
            if (model.size() >= 4) {
                std::uint32_t u = 0;
                for (int i = 0; i < 4; ++i) {
                    u = (u << 8) | model.front();
                    model.pop_front();
                }
                expected = static_cast<int>(u);
            } else {
                model.clear();
            }
            ASSERT_EQ(buf.removeInt(), expected);
            break;
        }
        case 7: {
            CIPByteBuffer other = bufferOf(Bytes(model.begin(), model.end()));
            other.removeBytes0(static_cast<int>(model.size() / 2));
            const Bytes tail(model.begin() + static_cast<std::ptrdiff_t>(model.size() / 2),
                             model.end());
            buf.appendBuffer(&other);
            model.insert(model.end(), tail.begin(), tail.end());
            break;
        }
        default:
            if (step % 50 == 0) {
                buf.empty();
                model.clear();
            }
            break;
        }
        ASSERT_EQ(buf.getLength(), model.size());
        if (step % 16 == 0) {
            ASSERT_EQ(contentOf(buf), Bytes(model.begin(), model.end())) << "step " << step;
        }
        // Keep the model bounded so the run stays fast.
        if (model.size() > 20000) {
            const int drop = static_cast<int>(model.size()) - 5000;
            ASSERT_EQ(buf.removeBytes0(drop), drop);
            model.erase(model.begin(), model.begin() + drop);
        }
    }
    EXPECT_EQ(contentOf(buf), Bytes(model.begin(), model.end()));
}

TEST(CIPByteBufferCopy, CopyConstructionIsIndependent) {
    CIPByteBuffer a = bufferOf(sequence(20));
    a.removeBytes0(5);
    CIPByteBuffer b(a);
    EXPECT_EQ(contentOf(b), sequence(15, 5));
    EXPECT_NE(a.getBuffer(), b.getBuffer());
    a.getBuffer()[0] = 0xAA;
    a.appendInt(1);
    b.removeBytes0(1);
    EXPECT_EQ(contentOf(b), sequence(14, 6));
    EXPECT_EQ(a.getLength(), 19u);
    EXPECT_EQ(a.getBuffer()[0], 0xAA);
}

TEST(CIPByteBufferCopy, CopyAssignmentReplacesContentAndIsIndependent) {
    CIPByteBuffer a = bufferOf(sequence(8));
    CIPByteBuffer b = bufferOf(sequence(100, 50));
    b = a;
    EXPECT_EQ(contentOf(b), sequence(8));
    a.getBuffer()[0] = 0x77;
    EXPECT_EQ(contentOf(b), sequence(8));

    const CIPByteBuffer& alias = b;
    b = alias;
    EXPECT_EQ(contentOf(b), sequence(8));

    CIPByteBuffer emptyBuf;
    b = emptyBuf;
    EXPECT_EQ(b.getLength(), 0u);
    b.appendInt(3);
    EXPECT_EQ(b.removeInt(), 3);
}

TEST(CIPByteBufferCopy, MoveTransfersTheBlockAndEmptiesTheSource) {
    CIPByteBuffer a = bufferOf(sequence(30));
    const unsigned char* block = a.getBuffer();
    CIPByteBuffer b(std::move(a));
    EXPECT_EQ(b.getBuffer(), block);
    EXPECT_EQ(contentOf(b), sequence(30));
    EXPECT_EQ(a.getLength(), 0u);
    a.appendInt(9);
    EXPECT_EQ(a.removeInt(), 9);

    CIPByteBuffer c = bufferOf(sequence(4, 200));
    c = std::move(b);
    EXPECT_EQ(c.getBuffer(), block);
    EXPECT_EQ(contentOf(c), sequence(30));
    EXPECT_EQ(b.getLength(), 0u);
}
