// The order of the virtual operations of the three exported classes is part
// of their interface: a stray new virtual would move every later slot. Each
// operation's slot is read from its pointer to member as the Itanium C++ ABI
// (g++, clang, mingw-w64) lays it out: one more than the byte offset of its
// entry in the table. The destructor takes two entries there (complete and
// deleting object), so the interface's slot n >= 1 is entry n + 1.
#include <kavra/KavraClientThread.h>
#include <kavra/KavraHeader.h>
#include <kavra/KavraPDU.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace {

using Slots = std::vector<std::pair<std::ptrdiff_t, const char*>>;

#if defined(_MSC_VER) || !(defined(__x86_64__) || defined(__i386__))
constexpr bool kItaniumX86 = false;
#else
constexpr bool kItaniumX86 = true;
#endif

template <typename Member> std::ptrdiff_t SlotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t raw[2];
    std::memcpy(raw, &member, sizeof raw);
    if ((raw[0] & 1) == 0) {
        return -1; // not virtual
    }
    return (raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)) - 1;
}

void ExpectInOrder(const Slots& slots) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i].first, static_cast<std::ptrdiff_t>(i + 1)) << slots[i].second;
    }
}

// Reaches the protected operations; its own new virtual takes the slot
// after the last one of KavraClientThread.
class ClientSlots : public KavraClientThread {
public:
    virtual void Next() {}

    static Slots Table() {
        using GetMessageLoop = int (CQWinThread::*)(MSG*, unsigned int, unsigned int);
        return {{SlotOf(&ClientSlots::GetClassNameA), "GetClassNameA"},
                {SlotOf(&ClientSlots::BeforeRun), "BeforeRun"},
                {SlotOf(&ClientSlots::Run), "Run"},
                {SlotOf(&ClientSlots::AfterRun), "AfterRun"},
                {SlotOf(&ClientSlots::RegisterToManager), "RegisterToManager"},
                {SlotOf(&ClientSlots::UnRegisterToManager), "UnRegisterToManager"},
                {SlotOf(&ClientSlots::PreQuit), "PreQuit"},
                {SlotOf(&ClientSlots::Quit), "Quit"},
                {SlotOf(&ClientSlots::PeekMessageA), "PeekMessageA"},
                {SlotOf(&ClientSlots::PostMessageA), "PostMessageA"},
                {SlotOf(static_cast<GetMessageLoop>(&CQWinThread::GetMessageA)), "GetMessageA"},
                {SlotOf(&ClientSlots::DispatchMessageA), "DispatchMessageA"},
                {SlotOf(&ClientSlots::OnTimer), "OnTimer"},
                {SlotOf(&ClientSlots::CreateThread), "CreateThread"},
                {SlotOf(&ClientSlots::Create), "Create"},
                {SlotOf(&ClientSlots::Destroy), "Destroy"},
                {SlotOf(&ClientSlots::OnPreQuit), "OnPreQuit"},
                {SlotOf(&ClientSlots::OnQuit), "OnQuit"},
                {SlotOf(&ClientSlots::OnCreate), "OnCreate"},
                {SlotOf(&ClientSlots::OnSocketReceive), "OnSocketReceive"},
                {SlotOf(&ClientSlots::OnSocketSend), "OnSocketSend"},
                {SlotOf(&ClientSlots::OnSocketAccept), "OnSocketAccept"},
                {SlotOf(&ClientSlots::OnSocketConnect), "OnSocketConnect"},
                {SlotOf(&ClientSlots::OnSocketClose), "OnSocketClose"},
                {SlotOf(&ClientSlots::OnSocketReconnect), "OnSocketReconnect"},
                {SlotOf(&ClientSlots::OnQuerySocket), "OnQuerySocket"},
                {SlotOf(&ClientSlots::SetSocket), "SetSocket"},
                {SlotOf(&ClientSlots::OnSendQueuePush), "OnSendQueuePush"},
                {SlotOf(&ClientSlots::OnReceiveQueuePush), "OnReceiveQueuePush"},
                {SlotOf(&ClientSlots::Next), "(the first slot after them)"}};
    }
};

class PduSlots : public KavraPDU {
public:
    virtual void Next() {}

    static Slots Table() {
        using SetTagged = void (CPDU::*)(short, CIPByteBuffer&);
        using SetItem = void (CPDU::*)(CTLV*);
        return {
            {SlotOf(&PduSlots::setData), "setData"},
            {SlotOf(&PduSlots::getData), "getData"},
            {SlotOf(&PduSlots::checkHeader), "checkHeader"},
            {SlotOf(&PduSlots::setBody), "setBody"},
            {SlotOf(&PduSlots::getBody), "getBody"},
            {SlotOf(&PduSlots::isRequest), "isRequest"},
            {SlotOf(&PduSlots::canResponse), "canResponse"},
            {SlotOf(&PduSlots::isResponse), "isResponse"},
            {SlotOf(&PduSlots::setHeader), "setHeader"},
            {SlotOf(&PduSlots::getHeader), "getHeader"},
            {SlotOf(&PduSlots::setOptionalBody), "setOptionalBody"},
            {SlotOf(&PduSlots::getOptionalBody), "getOptionalBody"},
            {SlotOf(&PduSlots::registerOptional), "registerOptional"},
            {SlotOf(&PduSlots::registerExtraOptional), "registerExtraOptional"},
            {SlotOf(&PduSlots::findOptional), "findOptional"},
            {SlotOf(&PduSlots::replaceExtraOptional), "replaceExtraOptional"},
            {SlotOf(static_cast<SetTagged>(&PduSlots::setExtraOptional)), "setExtraOptional(tag)"},
            {SlotOf(static_cast<SetItem>(&PduSlots::setExtraOptional)), "setExtraOptional(item)"},
            {SlotOf(&PduSlots::getExtraOptional), "getExtraOptional"},
            {SlotOf(&PduSlots::Next), "(the first slot after them)"}};
    }
};

class HeaderSlots : public KavraHeader {
public:
    virtual void Next() {}

    static Slots Table() {
        return {{SlotOf(&HeaderSlots::setData), "setData"},
                {SlotOf(&HeaderSlots::getData), "getData"},
                {SlotOf(&HeaderSlots::getCommandLength), "getCommandLength"},
                {SlotOf(&HeaderSlots::getCommandId), "getCommandId"},
                {SlotOf(&HeaderSlots::getCommandStatus), "getCommandStatus"},
                {SlotOf(&HeaderSlots::getSequenceNumber), "getSequenceNumber"},
                {SlotOf(&HeaderSlots::setCommandLength), "setCommandLength"},
                {SlotOf(&HeaderSlots::setCommandId), "setCommandId"},
                {SlotOf(&HeaderSlots::setCommandStatus), "setCommandStatus"},
                {SlotOf(&HeaderSlots::setSequenceNumber), "setSequenceNumber"},
                {SlotOf(&HeaderSlots::Next), "(the first slot after them)"}};
    }
};

TEST(VirtualSlots, EachExportedClassHasItsOperationsInOrder) {
    if (!kItaniumX86) {
        GTEST_SKIP() << "pointers to members are read as the Itanium ABI lays them out on x86";
    }
    for (const auto& [name, table] : {std::pair{"KavraClientThread", ClientSlots::Table()},
                                      std::pair{"KavraPDU", PduSlots::Table()},
                                      std::pair{"KavraHeader", HeaderSlots::Table()}}) {
        SCOPED_TRACE(name);
        ExpectInOrder(table);
    }
}

} // namespace
