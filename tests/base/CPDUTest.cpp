#include "kavra/base/CPDU.h"
#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/CPDUHeader.h"
#include "kavra/base/CTLV.h"
#include "kavra/base/MemoryRegistry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
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

Bytes valueOf(const CTLV& item) {
    return Bytes(item.getValue(), item.getValue() + item.getValueLength());
}

// A two-byte header that counts its destructions, so tests can see who
// deletes it.
class CountingHeader : public CPDUHeader {
public:
    explicit CountingHeader(int* destroyed) : m_destroyed(destroyed) {}
    ~CountingHeader() override { ++*m_destroyed; }
    int setData(CIPByteBuffer& in) override {
        if (in.getLength() < 2) {
            return 0;
        }
        m_commandId = in.removeShort();
        return 1;
    }
    int getData(CIPByteBuffer& out) override {
        out.appendShort(static_cast<short>(m_commandId));
        return 1;
    }

private:
    int* m_destroyed;
};

// Opens the optional-item operations of the base to the tests.
class TestPdu : public CPDU {
public:
    TestPdu() = default;
    TestPdu(const TestPdu& other) : CPDU(other) {}
    using CPDU::findOptional;
    using CPDU::getExtraOptional;
    using CPDU::getOptionalBody;
    using CPDU::registerExtraOptional;
    using CPDU::registerOptional;
    using CPDU::replaceExtraOptional;
    using CPDU::setExtraOptional;
    using CPDU::setOptionalBody;
};

// A PDU type with a header of its own, created on demand.
class HeaderPdu : public TestPdu {
public:
    explicit HeaderPdu(int* destroyed) : m_destroyed(destroyed) {}
    void checkHeader() override {
        if (m_header == nullptr) {
            m_header = new CountingHeader(m_destroyed);
        }
    }

private:
    int* m_destroyed;
};

} // namespace

TEST(CTLVItem, WireFormIsTagLengthValueBigEndian) {
    const unsigned char value[] = {'a', 'b', 'c'};
    CTLV item(0x0102, value, 3);
    CIPByteBuffer out;
    EXPECT_EQ(item.getData(out), 1);
    EXPECT_EQ(contentOf(out), (Bytes{0x01, 0x02, 0x00, 0x03, 'a', 'b', 'c'}));
}

TEST(CTLVItem, SetDataTakesOneItemAndLeavesTheRest) {
    CIPByteBuffer in = bufferOf({0x7F, 0x01, 0x00, 0x02, 0xAA, 0xBB, 0x99});
    CTLV item;
    EXPECT_FALSE(item.hasValue());
    EXPECT_EQ(item.setData(in), 1);
    EXPECT_EQ(item.getTag(), 0x7F01);
    EXPECT_TRUE(item.hasValue());
    EXPECT_EQ(valueOf(item), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(contentOf(in), (Bytes{0x99}));
}

TEST(CTLVItem, TornItemIsRefusedWithoutConsumingAnything) {
    for (const Bytes& torn :
         {Bytes{}, Bytes{0x00, 0x01, 0x00}, Bytes{0x00, 0x01, 0x00, 0x03, 1, 2}}) {
        CIPByteBuffer in = bufferOf(torn);
        CTLV item(5);
        EXPECT_EQ(item.setData(in), 0);
        EXPECT_EQ(contentOf(in), torn);
        EXPECT_FALSE(item.hasValue());
        EXPECT_EQ(item.getTag(), 5);
    }
}

TEST(CTLVItem, LengthFieldIsUnsignedUpTo65535) {
    Bytes wire{0x00, 0x09, 0xFF, 0xFF};
    wire.insert(wire.end(), 0xFFFF, 0x5A);
    CIPByteBuffer in = bufferOf(wire);
    CTLV item;
    ASSERT_EQ(item.setData(in), 1);
    EXPECT_EQ(item.getValueLength(), 0xFFFF);
    EXPECT_EQ(in.getLength(), 0u);

    CIPByteBuffer out;
    item.getData(out);
    EXPECT_EQ(contentOf(out), wire);
}

TEST(CTLVItem, SetValueCutsLongValuesAndTreatsOddInputSafely) {
    const Bytes big(70000, 0x11);
    CTLV item(1);
    item.setValue(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(item.getValueLength(), 65535);

    item.setValue(big.data(), -4);
    EXPECT_EQ(item.getValueLength(), 0);
    EXPECT_TRUE(item.hasValue());

    item.setValue(nullptr, 3);
    EXPECT_EQ(valueOf(item), (Bytes{0, 0, 0}));
}

TEST(CPDUBase, FlagValuesAndFreshState) {
    EXPECT_EQ(CPDU::VALID_HEADER, 0x01);
    EXPECT_EQ(CPDU::VALID_BODY, 0x02);
    EXPECT_EQ(CPDU::VALID_ALL, 0x03);
    TestPdu pdu;
    EXPECT_EQ(pdu.getHeaderObject(), nullptr);
    EXPECT_EQ(pdu.getValidFlags(), 0);
    CIPByteBuffer out;
    EXPECT_EQ(pdu.getHeader(out), 0);
    EXPECT_EQ(pdu.setHeader(out), 0);
    EXPECT_EQ(out.getLength(), 0u);
}

TEST(CPDUOptional, BodyRoundTripRegisteredAndExtraItems) {
    CTLV name(10);
    CTLV unset(11);
    TestPdu pdu;
    pdu.registerOptional(&name);
    pdu.registerOptional(&unset);
    pdu.registerOptional(nullptr);

    CIPByteBuffer in = bufferOf({0x00, 0x0A, 0x00, 0x02, 'h', 'i', // registered tag 10
                                 0x00, 0x63, 0x00, 0x01, 0x42});   // unknown tag 99
    EXPECT_EQ(pdu.setBody(in), 1);
    EXPECT_EQ(in.getLength(), 0u);
    EXPECT_EQ(valueOf(name), (Bytes{'h', 'i'}));
    EXPECT_FALSE(unset.hasValue());
    ASSERT_NE(pdu.getExtraOptional(99), nullptr);
    EXPECT_EQ(valueOf(*pdu.getExtraOptional(99)), (Bytes{0x42}));
    EXPECT_EQ(pdu.getExtraOptional(10), nullptr);
    EXPECT_EQ(pdu.findOptional(10), &name);
    EXPECT_EQ(pdu.findOptional(99), pdu.getExtraOptional(99));
    EXPECT_EQ(pdu.findOptional(12), nullptr);

    // Registered items with a value first, unset ones skipped, extras last.
    CIPByteBuffer out;
    EXPECT_EQ(pdu.getBody(out), 1);
    EXPECT_EQ(contentOf(out),
              (Bytes{0x00, 0x0A, 0x00, 0x02, 'h', 'i', 0x00, 0x63, 0x00, 0x01, 0x42}));
}

TEST(CPDUOptional, TornItemFailsTheBody) {
    TestPdu pdu;
    CIPByteBuffer in = bufferOf({0x00, 0x01, 0x00, 0x01, 0x05, 0x00, 0x02, 0x00});
    EXPECT_EQ(pdu.setOptionalBody(in), 0);
    ASSERT_NE(pdu.getExtraOptional(1), nullptr);
    EXPECT_EQ(contentOf(in), (Bytes{0x00, 0x02, 0x00}));
}

TEST(CPDUOptional, ExtraItemsAreReplacedByTag) {
    TestPdu pdu;
    pdu.registerExtraOptional(new CTLV(7, "a", 1));
    pdu.registerExtraOptional(new CTLV(8, "b", 1));
    pdu.replaceExtraOptional(new CTLV(7, "xyz", 3));
    EXPECT_EQ(valueOf(*pdu.getExtraOptional(7)), (Bytes{'x', 'y', 'z'}));

    CIPByteBuffer value = bufferOf({1, 2});
    pdu.setExtraOptional(8, value);
    EXPECT_EQ(value.getLength(), 0u);
    EXPECT_EQ(valueOf(*pdu.getExtraOptional(8)), (Bytes{1, 2}));

    pdu.setExtraOptional(new CTLV(9, "q", 1));
    CTLV* nine = pdu.getExtraOptional(9);
    ASSERT_NE(nine, nullptr);
    // Handing back an item the PDU already owns must not destroy it.
    pdu.replaceExtraOptional(nine);
    EXPECT_EQ(pdu.getExtraOptional(9), nine);
    EXPECT_EQ(valueOf(*nine), (Bytes{'q'}));

    // Order of first registration is kept; replacements stay in place.
    CIPByteBuffer out;
    pdu.getOptionalBody(out);
    EXPECT_EQ(contentOf(out),
              (Bytes{0, 7, 0, 3, 'x', 'y', 'z', 0, 8, 0, 2, 1, 2, 0, 9, 0, 1, 'q'}));
}

TEST(CPDUOptional, CopyDuplicatesExtrasAndFlagsButNotRegisteredItems) {
    CTLV registered(1, "r", 1);
    TestPdu source;
    source.registerOptional(&registered);
    source.registerExtraOptional(new CTLV(2, "e", 1));
    CIPByteBuffer body;
    ASSERT_EQ(source.setData(body), 1);

    TestPdu copy(source);
    EXPECT_EQ(copy.getValidFlags(), CPDU::VALID_ALL);
    EXPECT_EQ(copy.getHeaderObject(), nullptr);
    EXPECT_EQ(copy.findOptional(1), nullptr);
    ASSERT_NE(copy.getExtraOptional(2), nullptr);
    EXPECT_NE(copy.getExtraOptional(2), source.getExtraOptional(2));
    source.replaceExtraOptional(new CTLV(2, "changed", 7));
    EXPECT_EQ(valueOf(*copy.getExtraOptional(2)), (Bytes{'e'}));
}

TEST(CPDUData, SetDataWithoutHeaderTypeParsesTheBody) {
    TestPdu pdu;
    CIPByteBuffer in = bufferOf({0x00, 0x03, 0x00, 0x00});
    EXPECT_EQ(pdu.setData(in), 1);
    EXPECT_EQ(pdu.getValidFlags(), CPDU::VALID_ALL);
    EXPECT_NE(pdu.getExtraOptional(3), nullptr);

    CIPByteBuffer torn = bufferOf({0x00});
    EXPECT_EQ(pdu.setData(torn), 0);
    EXPECT_EQ(pdu.getValidFlags(), CPDU::VALID_HEADER);
}

TEST(CPDUData, HeaderIsParsedAndWrittenInFrontOfTheBody) {
    int destroyed = 0;
    {
        HeaderPdu pdu(&destroyed);
        CIPByteBuffer in = bufferOf({0x12, 0x34, 0x00, 0x05, 0x00, 0x01, 0xEE});
        EXPECT_EQ(pdu.setData(in), 1);
        EXPECT_EQ(pdu.getValidFlags(), CPDU::VALID_ALL);
        ASSERT_NE(pdu.getHeaderObject(), nullptr);
        EXPECT_EQ(pdu.getHeaderObject()->getCommandId(), 0x1234);

        CIPByteBuffer out;
        EXPECT_EQ(pdu.getData(out), 1);
        EXPECT_EQ(contentOf(out), (Bytes{0x12, 0x34, 0x00, 0x05, 0x00, 0x01, 0xEE}));

        CIPByteBuffer shortHeader = bufferOf({0x01});
        EXPECT_EQ(pdu.setData(shortHeader), 0);
        EXPECT_EQ(pdu.getValidFlags(), 0);
        EXPECT_EQ(destroyed, 0);
    }
    // The base deletes the header that the derived class created, once.
    EXPECT_EQ(destroyed, 1);
}

TEST(CPDUHeaderFields, GettersReturnWhatSettersStored) {
    int destroyed = 0;
    CountingHeader header(&destroyed);
    EXPECT_EQ(header.getCommandLength(), 0);
    EXPECT_EQ(header.getCommandId(), 0);
    EXPECT_EQ(header.getCommandStatus(), 0);
    EXPECT_EQ(header.getSequenceNumber(), 0);
    header.setCommandLength(-1);
    header.setCommandId(2);
    header.setCommandStatus(3);
    header.setSequenceNumber(4);
    EXPECT_EQ(header.getCommandLength(), -1);
    EXPECT_EQ(header.getCommandId(), 2);
    EXPECT_EQ(header.getCommandStatus(), 3);
    EXPECT_EQ(header.getSequenceNumber(), 4);
}

TEST(MemoryRegistryCounts, AddMemoryCountsRegistrationsAndBytes) {
    const std::uint64_t regs = kavra::MemoryRegistry::Registrations();
    const std::uint64_t bytes = kavra::MemoryRegistry::Bytes();
    int object = 0;
    EXPECT_EQ(_AddMemory(&object, 24, 1, nullptr), &object);
    char name[] = "block";
    EXPECT_EQ(_AddMemory(&object, 10, 3, name), &object);
    EXPECT_EQ(kavra::MemoryRegistry::Registrations() - regs, 2u);
    EXPECT_EQ(kavra::MemoryRegistry::Bytes() - bytes, 54u);

    // Nonsense sizes are counted as registrations but add no bytes.
    EXPECT_EQ(_AddMemory(nullptr, -8, 1, nullptr), nullptr);
    EXPECT_EQ(_AddMemory(nullptr, 8, -1, nullptr), nullptr);
    EXPECT_EQ(kavra::MemoryRegistry::Registrations() - regs, 4u);
    EXPECT_EQ(kavra::MemoryRegistry::Bytes() - bytes, 54u);
}

TEST(MemoryRegistryCounts, ConcurrentRegistrationsAreAllCounted) {
    const std::uint64_t regs = kavra::MemoryRegistry::Registrations();
    const std::uint64_t bytes = kavra::MemoryRegistry::Bytes();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kPerThread; ++i) {
                _AddMemory(nullptr, 3, 1, nullptr);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(kavra::MemoryRegistry::Registrations() - regs,
              static_cast<std::uint64_t>(kThreads * kPerThread));
    EXPECT_EQ(kavra::MemoryRegistry::Bytes() - bytes,
              static_cast<std::uint64_t>(3 * kThreads * kPerThread));
}
