#include "kavra/KavraPDU.h"
#include "kavra/KavraHeader.h"
#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/MemoryRegistry.h"

#include "support/BlockTracker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The body and byte-buffer blocks that the library allocates and releases
// while a tracker lives, as its own accounting reports them (so on every
// system and under every sanitizer), for the tests to see which body blocks
// a PDU releases. Bodies are the only such blocks a PDU allocates on its own;
// byte buffers are tracked the same way, so every check is on particular
// addresses or on "nothing left". A release of a block allocated before the
// tracker started counts as foreign.
class ArrayTracker {
public:
    bool isLive(void* p) { return m_blocks.IsLive(p); }
    std::size_t liveCount() { return m_blocks.Total().live; }
    std::uint64_t foreignFrees() { return m_blocks.Total().foreign; }

private:
    kavra::test::BlockTracker m_blocks{kavra::BlockKind::PduBody, kavra::BlockKind::ByteBuffer};
};

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

Bytes frame(const Bytes& body) {
    Bytes out(10, 0xFF);
    const auto n = static_cast<std::uint32_t>(body.size());
    out.push_back(static_cast<unsigned char>(n >> 24));
    out.push_back(static_cast<unsigned char>(n >> 16));
    out.push_back(static_cast<unsigned char>(n >> 8));
    out.push_back(static_cast<unsigned char>(n));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes serialise(KavraPDU& pdu) {
    CIPByteBuffer out;
    EXPECT_EQ(pdu.getData(out), 1);
    return contentOf(out);
}

Bytes bodyOf(KavraPDU& pdu) {
    const auto* p = static_cast<const unsigned char*>(pdu.getBufAddr());
    return p == nullptr ? Bytes{} : Bytes(p, p + pdu.getBufSize());
}

std::uint64_t registrations() {
    return kavra::MemoryRegistry::Registrations();
}

void expectFixedAnswers(KavraPDU& pdu) {
    EXPECT_EQ(pdu.isRequest(), 1);
    EXPECT_EQ(pdu.canResponse(), 1);
    EXPECT_EQ(pdu.isResponse(), 0);
}

// Records the order of the virtual calls that getData makes, and can make
// setBody fail or throw.
class RecordingPDU : public KavraPDU {
public:
    enum class BodyMode { Normal, Refuse, Throw };

    void checkHeader() override {
        calls.push_back("checkHeader");
        KavraPDU::checkHeader();
    }
    int getBody(CIPByteBuffer& out) override {
        calls.push_back("getBody");
        return KavraPDU::getBody(out);
    }
    int getHeader(CIPByteBuffer& out) override {
        calls.push_back("getHeader");
        return KavraPDU::getHeader(out);
    }
    int setBody(CIPByteBuffer& in) override {
        calls.push_back("setBody");
        if (mode == BodyMode::Refuse) {
            return 0;
        }
        if (mode == BodyMode::Throw) {
            throw std::runtime_error("no body");
        }
        return KavraPDU::setBody(in);
    }

    BodyMode mode = BodyMode::Normal;
    std::vector<std::string> calls;
};

// Writes a trailer after the body; the header length must include it.
class TrailerPDU : public KavraPDU {
public:
    int getBody(CIPByteBuffer& out) override {
        KavraPDU::getBody(out);
        out.appendBytes("\x01\x02", 2);
        return 1;
    }
};

} // namespace

TEST(KavraPDUFresh, NoBodyAndAFrameWithLengthZero) {
    const std::uint64_t before = registrations();
    KavraPDU pdu;
    EXPECT_EQ(pdu.getBufAddr(), nullptr);
    EXPECT_EQ(pdu.getBufSize(), 0u);
    EXPECT_EQ(pdu.getHeaderObject(), nullptr);
    expectFixedAnswers(pdu);
    EXPECT_EQ(serialise(pdu), frame({}));
    EXPECT_NE(pdu.getHeaderObject(), nullptr);
    EXPECT_EQ(registrations() - before, 1u);
    // getData leaves the validity flags alone.
    EXPECT_EQ(pdu.getValidFlags(), 0);
}

TEST(KavraPDUGetData, AppendsAfterExistingContent) {
    KavraPDU pdu;
    unsigned char body[] = {1, 2};
    DATABUFFER db{body, 2};
    pdu.setBuffer(db);
    CIPByteBuffer out = bufferOf({0xAA});
    EXPECT_EQ(pdu.getData(out), 1);
    Bytes expected{0xAA};
    const Bytes f = frame({1, 2});
    expected.insert(expected.end(), f.begin(), f.end());
    EXPECT_EQ(contentOf(out), expected);
}

TEST(KavraPDUGetData, CallsBodyThenHeaderCreationThenHeader) {
    RecordingPDU pdu;
    CIPByteBuffer out;
    pdu.getData(out);
    EXPECT_EQ(pdu.calls, (std::vector<std::string>{"getBody", "checkHeader", "getHeader"}));
}

TEST(KavraPDUGetData, TwiceGivesTwoIdenticalFramesAndOneHeader) {
    const std::uint64_t before = registrations();
    KavraPDU pdu;
    CIPByteBuffer in = bufferOf({7, 8, 9});
    pdu.setBody(in);
    CIPByteBuffer out;
    pdu.getData(out);
    CPDUHeader* header = pdu.getHeaderObject();
    pdu.getData(out);
    EXPECT_EQ(pdu.getHeaderObject(), header);
    Bytes expected = frame({7, 8, 9});
    const Bytes again = expected;
    expected.insert(expected.end(), again.begin(), again.end());
    EXPECT_EQ(contentOf(out), expected);
    EXPECT_EQ(registrations() - before, 1u);
    EXPECT_EQ(header->getCommandLength(), 3);
}

TEST(KavraPDUGetData, OverriddenBodyGetsAConsistentLength) {
    TrailerPDU pdu;
    unsigned char body[] = {'a', 'b', 'c'};
    DATABUFFER db{body, 3};
    pdu.setBuffer(db);
    EXPECT_EQ(serialise(pdu), frame({'a', 'b', 'c', 0x01, 0x02}));
}

TEST(KavraPDUGetData, ExplicitCheckHeaderCreatesTheHeaderOnce) {
    const std::uint64_t before = registrations();
    const std::uint64_t bytesBefore = kavra::MemoryRegistry::Bytes();
    KavraPDU pdu;
    pdu.checkHeader();
    CPDUHeader* header = pdu.getHeaderObject();
    ASSERT_NE(header, nullptr);
    EXPECT_NE(dynamic_cast<KavraHeader*>(header), nullptr);
    pdu.checkHeader();
    serialise(pdu);
    EXPECT_EQ(pdu.getHeaderObject(), header);
    EXPECT_EQ(registrations() - before, 1u);
    EXPECT_EQ(kavra::MemoryRegistry::Bytes() - bytesBefore, sizeof(KavraHeader));
}

TEST(KavraPDUBorrow, SetBufferBorrowsWithoutCopying) {
    ArrayTracker tracker;
    unsigned char body[] = {0x10, 0x20, 0x30, 0x40, 0x50};
    {
        KavraPDU pdu;
        DATABUFFER db{body, 5};
        pdu.setBuffer(db);
        EXPECT_EQ(pdu.getBufAddr(), static_cast<void*>(body));
        EXPECT_EQ(pdu.getBufSize(), 5u);
        expectFixedAnswers(pdu);
        const Bytes out = serialise(pdu);
        EXPECT_EQ(out.size(), 19u);
        EXPECT_EQ(out, frame({0x10, 0x20, 0x30, 0x40, 0x50}));
    }
    // The caller's bytes outlive the PDU untouched; nothing foreign was freed.
    EXPECT_EQ(Bytes(body, body + 5), (Bytes{0x10, 0x20, 0x30, 0x40, 0x50}));
    EXPECT_EQ(tracker.foreignFrees(), 0u);
}

TEST(KavraPDUBorrow, BorrowedHeapBlockIsNeverReleased) {
    auto* block = new unsigned char[4]{1, 2, 3, 4};
    {
        ArrayTracker tracker;
        {
            KavraPDU pdu;
            DATABUFFER db{block, 4};
            pdu.setBuffer(db);
            serialise(pdu);
            CIPByteBuffer in = bufferOf({9});
            pdu.setBody(in);
            EXPECT_NE(pdu.getBufAddr(), static_cast<void*>(block));
            EXPECT_EQ(bodyOf(pdu), Bytes{9});
        }
        EXPECT_EQ(tracker.foreignFrees(), 0u);
        EXPECT_EQ(tracker.liveCount(), 0u);
    }
    EXPECT_EQ(Bytes(block, block + 4), (Bytes{1, 2, 3, 4}));
    delete[] block;
}

TEST(KavraPDUBorrow, NullDataBorrowWritesNoBody) {
    KavraPDU pdu;
    DATABUFFER db{nullptr, 5};
    pdu.setBuffer(db);
    EXPECT_EQ(pdu.getBufAddr(), nullptr);
    EXPECT_EQ(pdu.getBufSize(), 5u);
    EXPECT_EQ(serialise(pdu), frame({}));
}

TEST(KavraPDUBorrow, SetBufferOnAnOwningPDUReleasesTheOwnedBody) {
    ArrayTracker tracker;
    unsigned char lent[] = {5, 6};
    {
        KavraPDU pdu;
        CIPByteBuffer in = bufferOf({1, 2, 3});
        pdu.setBody(in);
        void* owned = pdu.getBufAddr();
        ASSERT_TRUE(tracker.isLive(owned));
        DATABUFFER db{lent, 2};
        pdu.setBuffer(db);
        EXPECT_FALSE(tracker.isLive(owned));
        EXPECT_EQ(pdu.getBufAddr(), static_cast<void*>(lent));
        EXPECT_EQ(serialise(pdu), frame({5, 6}));
    }
    EXPECT_EQ(tracker.liveCount(), 0u);
    EXPECT_EQ(tracker.foreignFrees(), 0u);
    EXPECT_EQ(Bytes(lent, lent + 2), (Bytes{5, 6}));
}

TEST(KavraPDUOwn, SetBodyCopiesAndEmptiesTheInput) {
    ArrayTracker tracker;
    {
        KavraPDU pdu;
        CIPByteBuffer in = bufferOf({0xA, 0xB, 0xC});
        const unsigned char* inBytes = in.getBuffer();
        EXPECT_EQ(pdu.setBody(in), 1);
        EXPECT_EQ(in.getLength(), 0u);
        EXPECT_EQ(pdu.getBufSize(), 3u);
        ASSERT_NE(pdu.getBufAddr(), nullptr);
        EXPECT_NE(pdu.getBufAddr(), static_cast<const void*>(inBytes));
        EXPECT_TRUE(tracker.isLive(pdu.getBufAddr()));
        EXPECT_EQ(bodyOf(pdu), (Bytes{0xA, 0xB, 0xC}));
        expectFixedAnswers(pdu);
        EXPECT_EQ(serialise(pdu), frame({0xA, 0xB, 0xC}));
        // The flags belong to setData; setBody leaves them.
        EXPECT_EQ(pdu.getValidFlags(), 0);
    }
    EXPECT_EQ(tracker.liveCount(), 0u);
    EXPECT_EQ(tracker.foreignFrees(), 0u);
}

TEST(KavraPDUOwn, EmptyInputGivesANonNullEmptyBody) {
    ArrayTracker tracker;
    {
        KavraPDU pdu;
        CIPByteBuffer in;
        EXPECT_EQ(pdu.setBody(in), 1);
        EXPECT_NE(pdu.getBufAddr(), nullptr);
        EXPECT_EQ(pdu.getBufSize(), 0u);
        EXPECT_TRUE(tracker.isLive(pdu.getBufAddr()));
        EXPECT_EQ(serialise(pdu), frame({}));
    }
    EXPECT_EQ(tracker.liveCount(), 0u);
}

TEST(KavraPDUOwn, SecondSetBodyReleasesTheFirstBody) {
    ArrayTracker tracker;
    {
        KavraPDU pdu;
        CIPByteBuffer first = bufferOf({1, 1, 1, 1});
        pdu.setBody(first);
        void* firstBlock = pdu.getBufAddr();
        CIPByteBuffer second = bufferOf({2, 2});
        pdu.setBody(second);
        EXPECT_EQ(bodyOf(pdu), (Bytes{2, 2}));
        EXPECT_TRUE(tracker.isLive(pdu.getBufAddr()));
        // The two input buffers and the second body; the first body is gone
        // (its address may have been reused for the second).
        EXPECT_EQ(tracker.liveCount(), 3u);
        if (pdu.getBufAddr() != firstBlock) {
            EXPECT_FALSE(tracker.isLive(firstBlock));
        }
        EXPECT_EQ(serialise(pdu), frame({2, 2}));
    }
    EXPECT_EQ(tracker.liveCount(), 0u);
    EXPECT_EQ(tracker.foreignFrees(), 0u);
}

TEST(KavraPDUOwn, GetBodyTwiceAppendsTwiceAndKeepsTheBody) {
    KavraPDU pdu;
    CIPByteBuffer in = bufferOf({4, 5});
    pdu.setBody(in);
    void* addr = pdu.getBufAddr();
    CIPByteBuffer out;
    EXPECT_EQ(pdu.getBody(out), 1);
    EXPECT_EQ(pdu.getBody(out), 1);
    EXPECT_EQ(contentOf(out), (Bytes{4, 5, 4, 5}));
    EXPECT_EQ(pdu.getBufAddr(), addr);
    EXPECT_EQ(pdu.getBufSize(), 2u);
    EXPECT_EQ(bodyOf(pdu), (Bytes{4, 5}));

    KavraPDU none;
    CIPByteBuffer nothing;
    EXPECT_EQ(none.getBody(nothing), 1);
    EXPECT_EQ(nothing.getLength(), 0u);
}

TEST(KavraPDUSetData, TakesAllOfTheInputAndCreatesNoHeader) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{14}, std::size_t{9000}}) {
        const std::uint64_t before = registrations();
        KavraPDU pdu;
        Bytes body(n);
        for (std::size_t i = 0; i < n; ++i) {
            body[i] = static_cast<unsigned char>(i * 7);
        }
        CIPByteBuffer in = bufferOf(body);
        EXPECT_EQ(pdu.setData(in), 1) << n;
        EXPECT_EQ(pdu.getValidFlags(), CPDU::VALID_ALL) << n;
        EXPECT_EQ(in.getLength(), 0u) << n;
        EXPECT_EQ(pdu.getHeaderObject(), nullptr) << n;
        EXPECT_EQ(registrations() - before, 0u) << n;
        EXPECT_EQ(bodyOf(pdu), body) << n;
        expectFixedAnswers(pdu);
    }
}

TEST(KavraPDUSetData, ARefusedBodyLeavesTheHeaderFlagOnly) {
    RecordingPDU pdu;
    CIPByteBuffer ok = bufferOf({1});
    ASSERT_EQ(pdu.setData(ok), 1);
    ASSERT_EQ(pdu.getValidFlags(), CPDU::VALID_ALL);

    pdu.mode = RecordingPDU::BodyMode::Refuse;
    CIPByteBuffer in = bufferOf({1, 2});
    EXPECT_EQ(pdu.setData(in), 0);
    EXPECT_EQ(pdu.getValidFlags(), CPDU::VALID_HEADER);
    EXPECT_EQ(in.getLength(), 2u);
    EXPECT_EQ(pdu.calls, (std::vector<std::string>{"setBody", "setBody"}));
}

TEST(KavraPDUSetData, AThrowingBodyPassesTheExceptionWithTheHeaderFlag) {
    RecordingPDU pdu;
    pdu.mode = RecordingPDU::BodyMode::Throw;
    CIPByteBuffer in = bufferOf({1, 2});
    EXPECT_THROW(pdu.setData(in), std::runtime_error);
    EXPECT_EQ(pdu.getValidFlags(), CPDU::VALID_HEADER);
    EXPECT_EQ(pdu.getHeaderObject(), nullptr);
}

TEST(KavraPDUCopy, CopyOfAnOwningPDUIsDeepAndOutlivesTheSource) {
    ArrayTracker tracker;
    const std::uint64_t before = registrations();
    KavraPDU* source = new KavraPDU;
    CIPByteBuffer in = bufferOf({3, 1, 4, 1, 5});
    source->setData(in);
    serialise(*source);
    ASSERT_EQ(registrations() - before, 1u);

    KavraPDU copy(*source);
    EXPECT_EQ(registrations() - before, 2u);
    EXPECT_NE(copy.getHeaderObject(), nullptr);
    EXPECT_NE(copy.getHeaderObject(), source->getHeaderObject());
    EXPECT_EQ(copy.getHeaderObject()->getCommandLength(), 5);
    EXPECT_NE(copy.getBufAddr(), source->getBufAddr());
    EXPECT_TRUE(tracker.isLive(copy.getBufAddr()));
    EXPECT_EQ(copy.getValidFlags(), CPDU::VALID_ALL);

    static_cast<unsigned char*>(source->getBufAddr())[0] = 0xEE;
    delete source;
    EXPECT_EQ(bodyOf(copy), (Bytes{3, 1, 4, 1, 5}));
    EXPECT_EQ(serialise(copy), frame({3, 1, 4, 1, 5}));
    EXPECT_EQ(registrations() - before, 2u);
}

TEST(KavraPDUCopy, CopyOfABorrowingPDUOwnsItsOwnBytes) {
    unsigned char lent[] = {8, 6, 7};
    ArrayTracker tracker;
    {
        KavraPDU source;
        DATABUFFER db{lent, 3};
        source.setBuffer(db);
        KavraPDU copy(source);
        EXPECT_NE(copy.getBufAddr(), static_cast<void*>(lent));
        EXPECT_TRUE(tracker.isLive(copy.getBufAddr()));
        lent[0] = 0;
        EXPECT_EQ(bodyOf(copy), (Bytes{8, 6, 7}));
        // A copy of a PDU that never serialised has no header either.
        EXPECT_EQ(copy.getHeaderObject(), nullptr);
    }
    EXPECT_EQ(tracker.liveCount(), 0u);
    EXPECT_EQ(tracker.foreignFrees(), 0u);
}

TEST(KavraPDUCopy, CopyOfAFreshPDUIsFresh) {
    const std::uint64_t before = registrations();
    KavraPDU source;
    KavraPDU copy(source);
    EXPECT_EQ(copy.getBufAddr(), nullptr);
    EXPECT_EQ(copy.getBufSize(), 0u);
    EXPECT_EQ(copy.getHeaderObject(), nullptr);
    EXPECT_EQ(copy.getValidFlags(), 0);
    EXPECT_EQ(registrations() - before, 0u);
    EXPECT_EQ(serialise(copy), frame({}));
}

TEST(KavraPDUCopy, CopyCarriesTheHeaderFieldsOfTheSource) {
    KavraPDU source;
    source.checkHeader();
    CPDUHeader* header = source.getHeaderObject();
    header->setCommandId(11);
    header->setCommandStatus(12);
    header->setSequenceNumber(13);
    header->setCommandLength(99);
    KavraPDU copy(source);
    CPDUHeader* copied = copy.getHeaderObject();
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(copied->getCommandId(), 11);
    EXPECT_EQ(copied->getCommandStatus(), 12);
    EXPECT_EQ(copied->getSequenceNumber(), 13);
    EXPECT_EQ(copied->getCommandLength(), 99);
}

TEST(KavraPDUAssign, AssignmentOverAnOwningPDUReleasesItsBody) {
    ArrayTracker tracker;
    {
        KavraPDU target;
        CIPByteBuffer old = bufferOf({0xDE, 0xAD});
        target.setData(old);
        serialise(target);
        void* oldBlock = target.getBufAddr();

        KavraPDU source;
        CIPByteBuffer in = bufferOf({1, 2, 3});
        source.setBody(in);
        const std::uint64_t before = registrations();
        KavraPDU& result = (target = source);
        EXPECT_EQ(&result, &target);
        // The new body was allocated while the old one still lived, so the
        // old address cannot have been reused for it.
        EXPECT_FALSE(tracker.isLive(oldBlock));
        EXPECT_NE(target.getBufAddr(), source.getBufAddr());
        EXPECT_EQ(bodyOf(target), (Bytes{1, 2, 3}));
        // The source has no header, so neither has the target now.
        EXPECT_EQ(target.getHeaderObject(), nullptr);
        EXPECT_EQ(target.getValidFlags(), 0);
        EXPECT_EQ(registrations() - before, 0u);

        CIPByteBuffer changed = bufferOf({7});
        source.setBody(changed);
        EXPECT_EQ(serialise(target), frame({1, 2, 3}));
    }
    EXPECT_EQ(tracker.liveCount(), 0u);
    EXPECT_EQ(tracker.foreignFrees(), 0u);
}

TEST(KavraPDUAssign, AssigningABorrowerGivesAnOwner) {
    unsigned char lent[] = {4, 4};
    ArrayTracker tracker;
    {
        KavraPDU source;
        DATABUFFER db{lent, 2};
        source.setBuffer(db);
        serialise(source);
        KavraPDU target;
        CIPByteBuffer in = bufferOf({9, 9, 9});
        target.setBody(in);
        target = source;
        EXPECT_NE(target.getBufAddr(), static_cast<void*>(lent));
        EXPECT_EQ(bodyOf(target), (Bytes{4, 4}));
        EXPECT_NE(target.getHeaderObject(), nullptr);
        EXPECT_NE(target.getHeaderObject(), source.getHeaderObject());
    }
    EXPECT_EQ(tracker.liveCount(), 0u);
    EXPECT_EQ(tracker.foreignFrees(), 0u);
    EXPECT_EQ(Bytes(lent, lent + 2), (Bytes{4, 4}));
}

TEST(KavraPDUAssign, SelfAssignmentKeepsEverything) {
    KavraPDU pdu;
    CIPByteBuffer in = bufferOf({6, 5});
    pdu.setData(in);
    serialise(pdu);
    void* addr = pdu.getBufAddr();
    CPDUHeader* header = pdu.getHeaderObject();
    KavraPDU& alias = pdu;
    pdu = alias;
    EXPECT_EQ(pdu.getBufAddr(), addr);
    EXPECT_EQ(pdu.getHeaderObject(), header);
    EXPECT_EQ(pdu.getValidFlags(), CPDU::VALID_ALL);
    EXPECT_EQ(serialise(pdu), frame({6, 5}));
}

TEST(KavraPDUDestroy, ThroughTheBasePointerReleasesBodyAndHeader) {
    ArrayTracker tracker;
    CPDU* pdu = new KavraPDU;
    CIPByteBuffer in = bufferOf({1, 2, 3});
    pdu->setData(in);
    CIPByteBuffer out;
    pdu->getData(out);
    EXPECT_EQ(contentOf(out), frame({1, 2, 3}));
    delete pdu;
    EXPECT_EQ(tracker.foreignFrees(), 0u);
    // Only the two local buffers' blocks remain.
    EXPECT_EQ(tracker.liveCount(), 2u);
}
