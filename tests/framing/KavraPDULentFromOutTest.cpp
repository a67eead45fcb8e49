// A PDU that borrows its body from the very buffer it is serialised into:
// the frame carries the body as it was before the call, whether appending
// the header moves the buffer's storage or writes over the body.
#include "kavra/KavraHeader.h"
#include "kavra/KavraPDU.h"
#include "kavra/base/CIPByteBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ContentOf(const CIPByteBuffer& buffer) {
    return Bytes(buffer.getBuffer(), buffer.getBuffer() + buffer.getLength());
}

Bytes FrameOf(const Bytes& body) {
    Bytes frame(KavraHeader::HEADER_LENGTH);
    KavraHeader::EncodeHeader(static_cast<int>(body.size()), frame.data());
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

Bytes Counting(std::size_t size) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), static_cast<unsigned char>(1));
    return bytes;
}

void SerialiseLent(CIPByteBuffer& out, const unsigned char* body, unsigned int size) {
    DATABUFFER lent{const_cast<unsigned char*>(body), size};
    KavraPDU pdu;
    pdu.setBuffer(lent);
    EXPECT_EQ(pdu.getData(out), 1);
}

TEST(KavraPDULentFromOut, ABodyThatFillsTheBufferSurvivesItsGrowth) {
    const Bytes body = Counting(64);
    CIPByteBuffer out;
    out.appendBytes(body.data(), static_cast<int>(body.size()));
    SerialiseLent(out, out.getBuffer(), static_cast<unsigned int>(body.size()));
    Bytes expected = body;
    const Bytes frame = FrameOf(body);
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(ContentOf(out), expected);
}

TEST(KavraPDULentFromOut, ABodyInTheRoomOfAnEmptiedBufferIsNotOverwritten) {
    const Bytes body = Counting(40);
    CIPByteBuffer out;
    out.appendBytes(body.data(), static_cast<int>(body.size()));
    const unsigned char* lent = out.getBuffer();
    out.empty();
    SerialiseLent(out, lent, static_cast<unsigned int>(body.size()));
    EXPECT_EQ(ContentOf(out), FrameOf(body));
}

TEST(KavraPDULentFromOut, OverlapCoversTheWholeStorageAndNothingBeyond) {
    CIPByteBuffer out;
    unsigned char outside[4] = {};
    EXPECT_FALSE(out.overlaps(outside, sizeof outside));
    out.appendBytes(outside, 4);
    out.removeBytes0(2);
    const unsigned char* content = out.getBuffer();
    EXPECT_TRUE(out.overlaps(content - 2, 1));
    EXPECT_TRUE(out.overlaps(content + 2, 1));
    EXPECT_FALSE(out.overlaps(outside, sizeof outside));
    EXPECT_FALSE(out.overlaps(content, 0));
}

} // namespace
