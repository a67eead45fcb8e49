#include "kavra/KavraHeader.h"
#include "kavra/base/CIPByteBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes contentOf(const CIPByteBuffer& buf) {
    if (buf.getLength() == 0) {
        return {};
    }
    return Bytes(buf.getBuffer(), buf.getBuffer() + buf.getLength());
}

CIPByteBuffer bufferOf(const Bytes& bytes) {
    CIPByteBuffer buf;
    buf.appendBytes(bytes.data(), static_cast<int>(bytes.size()));
    return buf;
}

Bytes ff(std::size_t n) {
    return Bytes(n, 0xFF);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Result of the scan, checked from its definition: the first position from
// which every byte up to the tenth, or up to the end, is 0xFF.
std::size_t referenceStart(const Bytes& b) {
    for (std::size_t i = 0; i < b.size(); ++i) {
        const std::size_t end = std::min(i + 10, b.size());
        bool all = true;
        for (std::size_t k = i; k < end; ++k) {
            all = all && b[k] == 0xFF;
        }
        if (all) {
            return i;
        }
    }
    return b.size();
}

struct Validated {
    unsigned int result;
    Bytes after;
};

Validated validate(const Bytes& bytes) {
    KavraHeader header;
    CIPByteBuffer buf = bufferOf(bytes);
    const unsigned int r = header.ValidateBuffer(buf);
    return {r, contentOf(buf)};
}

// Reports a length of its own and records calls of the virtual setter.
class OverridingHeader : public KavraHeader {
public:
    int getCommandLength() override { return 0x0A0B0C0D; }
    void setCommandLength(int value) override {
        ++setterCalls;
        KavraHeader::setCommandLength(value);
    }
    int storedLength() const { return m_commandLength; }
    int setterCalls = 0;
};

} // namespace

TEST(KavraHeaderConstants, FrameLayout) {
    EXPECT_EQ(KavraHeader::SYNC_MARK_LENGTH, 10);
    EXPECT_EQ(KavraHeader::HEADER_LENGTH, 14);
    EXPECT_EQ(KavraHeader::SYNC_BYTE, 0xFF);
}

// Peers and tools frame bytes with EncodeHeader; it must write exactly what
// getData writes, and DecodeBodyLength must read it back, sign included.
TEST(KavraHeaderEncode, MatchesGetDataAndDecodesBack) {
    for (const int length : {0, 5, 0x226C, -1, 0x7FFFFFFF, -0x7FFFFFFF - 1}) {
        KavraHeader header;
        header.setCommandLength(length);
        CIPByteBuffer written;
        header.getData(written);
        Bytes encoded(KavraHeader::HEADER_LENGTH);
        KavraHeader::EncodeHeader(length, encoded.data());
        EXPECT_EQ(encoded, contentOf(written)) << length;
        EXPECT_EQ(KavraHeader::DecodeBodyLength(encoded.data()), length);
    }
    Bytes encoded(KavraHeader::HEADER_LENGTH);
    KavraHeader::EncodeHeader(0x01020304, encoded.data());
    EXPECT_EQ(encoded, cat({ff(10), {1, 2, 3, 4}}));
}

TEST(KavraHeaderGetData, FreshHeaderWritesSyncMarkAndZeroLength) {
    KavraHeader header;
    EXPECT_EQ(header.getCommandLength(), 0);
    EXPECT_EQ(header.getCommandId(), 0);
    EXPECT_EQ(header.getCommandStatus(), 0);
    EXPECT_EQ(header.getSequenceNumber(), 0);
    CIPByteBuffer out;
    EXPECT_EQ(header.getData(out), 1);
    EXPECT_EQ(contentOf(out), cat({ff(10), {0, 0, 0, 0}}));
}

TEST(KavraHeaderGetData, AppendsAfterExistingContentAndTwiceGives28) {
    KavraHeader header;
    header.setCommandLength(0x01020304);
    CIPByteBuffer out = bufferOf({0xAB, 0xCD});
    EXPECT_EQ(header.getData(out), 1);
    EXPECT_EQ(header.getData(out), 1);
    const Bytes one = cat({ff(10), {1, 2, 3, 4}});
    EXPECT_EQ(contentOf(out), cat({{0xAB, 0xCD}, one, one}));
    EXPECT_EQ(out.getLength(), 30u);
}

TEST(KavraHeaderGetData, OnlyTheCommandLengthTravels) {
    KavraHeader header;
    header.setCommandLength(-5);
    header.setCommandId(77);
    header.setCommandStatus(88);
    header.setSequenceNumber(99);
    CIPByteBuffer out;
    header.getData(out);
    EXPECT_EQ(contentOf(out), cat({ff(10), {0xFF, 0xFF, 0xFF, 0xFB}}));
}

TEST(KavraHeaderGetData, WritesTheVirtualCommandLength) {
    OverridingHeader header;
    CIPByteBuffer out;
    header.getData(out);
    EXPECT_EQ(contentOf(out), cat({ff(10), {0x0A, 0x0B, 0x0C, 0x0D}}));
}

TEST(KavraHeaderSetData, ParsesLengthAndLeavesFurtherBytes) {
    KavraHeader header;
    CIPByteBuffer in = bufferOf(cat({ff(10), {0, 0, 0, 5}, {'a', 'b'}}));
    EXPECT_EQ(header.setData(in), 1);
    EXPECT_EQ(header.getCommandLength(), 5);
    EXPECT_EQ(contentOf(in), (Bytes{'a', 'b'}));
}

TEST(KavraHeaderSetData, StoresTheFieldDirectlyNotThroughTheSetter) {
    OverridingHeader header;
    CIPByteBuffer in = bufferOf(cat({ff(10), {0x00, 0x00, 0x01, 0x00}}));
    EXPECT_EQ(header.setData(in), 1);
    EXPECT_EQ(header.setterCalls, 0);
    EXPECT_EQ(header.storedLength(), 256);
    EXPECT_EQ(in.getLength(), 0u);
}

TEST(KavraHeaderSetData, SyncBytesAreNeitherCheckedNorStored) {
    KavraHeader header;
    CIPByteBuffer in = bufferOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xFF, 0xFF, 0xFF, 0xFE});
    EXPECT_EQ(header.setData(in), 1);
    EXPECT_EQ(header.getCommandLength(), -2);
    CIPByteBuffer out;
    header.getData(out);
    EXPECT_EQ(contentOf(out), cat({ff(10), {0xFF, 0xFF, 0xFF, 0xFE}}));
}

TEST(KavraHeaderSetData, ShortInputFollowsTheBufferRules) {
    KavraHeader header;
    header.setCommandLength(42);
    // Sync bytes plus three length bytes: the length read finds too few bytes
    // and yields 0, and nothing is left.
    CIPByteBuffer in = bufferOf(cat({ff(10), {0, 0, 7}}));
    EXPECT_EQ(header.setData(in), 1);
    EXPECT_EQ(header.getCommandLength(), 0);
    EXPECT_EQ(in.getLength(), 0u);

    CIPByteBuffer none;
    header.setCommandLength(9);
    EXPECT_EQ(header.setData(none), 1);
    EXPECT_EQ(header.getCommandLength(), 0);
}

TEST(KavraHeaderCopy, CopiesSerialiseLikeTheSourceAndStayIndependent) {
    KavraHeader source;
    source.setCommandLength(1234);
    source.setCommandId(1);
    source.setCommandStatus(2);
    source.setSequenceNumber(3);
    KavraHeader copy(source);
    KavraHeader assigned;
    KavraHeader& ref = (assigned = source);
    EXPECT_EQ(&ref, &assigned);

    CIPByteBuffer a;
    CIPByteBuffer b;
    CIPByteBuffer c;
    source.getData(a);
    copy.getData(b);
    assigned.getData(c);
    EXPECT_EQ(contentOf(b), contentOf(a));
    EXPECT_EQ(contentOf(c), contentOf(a));
    EXPECT_EQ(copy.getCommandId(), 1);
    EXPECT_EQ(assigned.getCommandStatus(), 2);
    EXPECT_EQ(assigned.getSequenceNumber(), 3);

    source.setCommandLength(1);
    EXPECT_EQ(copy.getCommandLength(), 1234);
    EXPECT_EQ(assigned.getCommandLength(), 1234);
}

TEST(KavraHeaderValidate, EmptyBufferYieldsZeroAndStaysEmpty) {
    const Validated v = validate({});
    EXPECT_EQ(v.result, 0u);
    EXPECT_TRUE(v.after.empty());
}

TEST(KavraHeaderValidate, WellFormedHeaderIsLeftAloneAndParses) {
    const Bytes frame = cat({ff(10), {0, 0, 0, 5}});
    KavraHeader header;
    CIPByteBuffer buf = bufferOf(frame);
    EXPECT_EQ(header.ValidateBuffer(buf), 0u);
    EXPECT_EQ(contentOf(buf), frame);
    header.setData(buf);
    EXPECT_EQ(header.getCommandLength(), 5);
}

TEST(KavraHeaderValidate, EdgeCasesByteForByte) {
    struct Case {
        const char* name;
        Bytes in;
        unsigned int result;
        Bytes after;
    };
    const Bytes none12(12, 0x3C);
    const Bytes none13(13, 0x00);
    const Case cases[] = {
        {"two garbage bytes", cat({{0x12, 0x34}, ff(10), {0, 0}}), 2,
         cat({ff(10), {0, 0}, {0, 0}})},
        {"no 0xFF at all", Bytes(14, 0x01), 14, Bytes(14, 0)},
        {"run of two at the end", cat({none12, ff(2)}), 12, cat({ff(2), Bytes(12, 0)})},
        {"single FF at the end", cat({none13, ff(1)}), 13, cat({ff(1), Bytes(13, 0)})},
        {"broken run skipped with its breaker", cat({ff(3), {0x00}, ff(10)}), 4,
         cat({ff(10), Bytes(4, 0)})},
        {"nine FF then another byte", cat({ff(3), {0x07}, ff(9), {0x01}}), 14, Bytes(14, 0)},
        {"run of four at the end", cat({ff(9), {0x00}, ff(4)}), 10, cat({ff(4), Bytes(10, 0)})},
        {"one byte before thirteen FF", cat({{0x00}, ff(13)}), 1, cat({ff(13), {0}})},
        {"fourteen FF", ff(14), 0, ff(14)},
        {"eleven FF then length", cat({ff(11), {1, 2, 3}}), 0, cat({ff(11), {1, 2, 3}})},
        {"short buffer of FF only", ff(7), 0, ff(7)},
        {"one FF", ff(1), 0, ff(1)},
        {"one other byte", {0x20}, 1, {0}},
    };
    for (const Case& c : cases) {
        const Validated v = validate(c.in);
        EXPECT_EQ(v.result, c.result) << c.name;
        EXPECT_EQ(v.after, c.after) << c.name;
    }
}

TEST(KavraHeaderValidate, ElevenFFLeadToLengthFromBytesAfterTheTenth) {
    KavraHeader header;
    CIPByteBuffer buf = bufferOf(cat({ff(11), {0x00, 0x00, 0x02}}));
    ASSERT_EQ(header.ValidateBuffer(buf), 0u);
    header.setData(buf);
    EXPECT_EQ(header.getCommandLength(), static_cast<int>(0xFF000002u));
}

TEST(KavraHeaderValidate, ReadsNothingOfTheHeaderObject) {
    // A header with odd field values scans the same way as a fresh one.
    OverridingHeader odd;
    odd.setCommandId(3);
    CIPByteBuffer buf = bufferOf(cat({{0x01}, ff(10), {0, 0, 0}}));
    EXPECT_EQ(odd.ValidateBuffer(buf), 1u);
    EXPECT_EQ(contentOf(buf), cat({ff(10), {0, 0, 0}, {0}}));
}

TEST(KavraHeaderValidate, WorksAfterFrontRemovalInTheSameBuffer) {
    // The receive path reuses one buffer; the scan must use the current front.
    CIPByteBuffer buf = bufferOf(cat({{9, 9, 9}, {0x00}, ff(10), {0, 0, 0}}));
    buf.removeBytes0(3);
    KavraHeader header;
    EXPECT_EQ(header.ValidateBuffer(buf), 1u);
    EXPECT_EQ(contentOf(buf), cat({ff(10), {0, 0, 0}, {0}}));
}

TEST(KavraHeaderValidate, ResyncProtocolFindsFrameAfterGarbage) {
    // Garbage with partial runs, then a frame; refill the tail from the
    // stream as the receive path does until the scan reports 0.
    const Bytes stream = cat({{0x01, 0xFF, 0xFF, 0x02},
                              ff(5),
                              {0x03},
                              Bytes(7, 0x44),
                              ff(10),
                              {0, 0, 0, 9},
                              {'r', 'e', 's', 't'}});
    std::size_t pos = 0;
    KavraHeader header;
    CIPByteBuffer buf;
    header.getData(buf);
    const std::size_t need = buf.getLength();
    ASSERT_EQ(need, 14u);
    std::copy(stream.begin(), stream.begin() + 14, buf.getBuffer());
    pos = 14;
    int rounds = 0;
    for (unsigned int r = header.ValidateBuffer(buf); r > 0; r = header.ValidateBuffer(buf)) {
        ASSERT_EQ(buf.getLength(), need);
        ASSERT_LE(pos + r, stream.size());
        std::copy(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                  stream.begin() + static_cast<std::ptrdiff_t>(pos + r),
                  buf.getBuffer() + (need - r));
        pos += r;
        ASSERT_LT(++rounds, 10);
    }
    header.setData(buf);
    EXPECT_EQ(header.getCommandLength(), 9);
    EXPECT_EQ(pos, stream.size() - 4);
}

TEST(KavraHeaderValidate, FindSyncStartHandlesDegenerateInput) {
    const unsigned char b[] = {0xFF};
    EXPECT_EQ(KavraHeader::FindSyncStart(nullptr, 0), 0u);
    EXPECT_EQ(KavraHeader::FindSyncStart(b, 0), 0u);
    EXPECT_EQ(KavraHeader::FindSyncStart(b, -3), 0u);
    EXPECT_EQ(KavraHeader::FindSyncStart(b, 1), 0u);
}

TEST(KavraHeaderValidate, RandomBuffersMatchTheReferenceScan) {
    std::mt19937 rng(0xC0FFEEu);
    std::uniform_int_distribution<int> length(0, 48);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> other(0, 0xFE);
    for (int iteration = 0; iteration < 20000; ++iteration) {
        // Vary the share of 0xFF so that long runs, broken runs and runs at
        // the end all occur often.
        const int ffShare = 50 + (iteration % 5) * 10;
        Bytes in(static_cast<std::size_t>(length(rng)));
        for (auto& b : in) {
            b = percent(rng) < ffShare ? 0xFF : static_cast<unsigned char>(other(rng));
        }
        const std::size_t expected = referenceStart(in);
        const Validated v = validate(in);
        ASSERT_EQ(v.result, expected) << "iteration " << iteration;
        Bytes after(in.begin() + static_cast<std::ptrdiff_t>(expected), in.end());
        after.resize(in.size(), 0);
        ASSERT_EQ(v.after, after) << "iteration " << iteration;
        ASSERT_EQ(KavraHeader::FindSyncStart(in.data(), static_cast<int>(in.size())), expected);
    }
}
