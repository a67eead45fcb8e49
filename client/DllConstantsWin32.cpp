// kavra.dll holds the one definition of every static constant of its
// exported classes.
//
// Such constants are inline variables, which the compiler emits only where
// they are odr-used. A program that binds one to a reference (as
// EXPECT_EQ(x, KavraClientThread::RECEIVE_OK) does) imports it from the DLL,
// so the DLL must emit and export each of them although it never takes their
// address itself. The table below does that.
#include "kavra/KavraClientThread.h"
#include "kavra/KavraHeader.h"
#include "kavra/base/CSema.h"
#include "kavra/base/CSocket.h"

namespace {

[[gnu::used]] const void* const g_exportedConstants[] = {
    &KavraClientThread::MAX_PDU_LENGTH,
    &KavraClientThread::MAX_RECEIVE_QUEUE,
    &KavraClientThread::SOCKET_IO_TIMEOUT_MS,
    &KavraClientThread::MSG_SEND_QUEUE_PUSH,
    &KavraClientThread::MSG_RECEIVE_QUEUE_PUSH,
    &KavraClientThread::SEND_QUEUE_FULL,
    &KavraClientThread::RECEIVE_OK,
    &KavraClientThread::RECEIVE_NOTHING,
    &KavraClientThread::RECEIVE_TOO_SMALL,
    &KavraHeader::SYNC_MARK_LENGTH,
    &KavraHeader::HEADER_LENGTH,
    &KavraHeader::SYNC_BYTE,
    &KavraHeader::MAX_BODY_LENGTH,
    &KavraHeader::MAX_DISCARD_LENGTH,
    &CSema::INFINITE_TIMEOUT,
    &CSocket::INVALID_HANDLE,
};

} // namespace
