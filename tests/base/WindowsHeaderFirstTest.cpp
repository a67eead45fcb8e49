// The public headers after <windows.h> in full (no WIN32_LEAN_AND_MEAN, no
// NOMINMAX), as an application may have included it: its macros (min, max,
// GetMessage, PostMessage, PeekMessage, DispatchMessage, GetClassName,
// CreateThread's neighbours) must not break them, and the MSG and
// SECURITY_ATTRIBUTES that the headers use are the system's. Elsewhere the
// same file checks the headers on their own.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <kavra/ConnectionStats.h>
#include <kavra/DATABUFFER.h>
#include <kavra/KavraClientThread.h>
#include <kavra/KavraHeader.h>
#include <kavra/KavraPDU.h>
#include <kavra/base/CBaseObj.h>
#include <kavra/base/CBaseSocketThread.h>
#include <kavra/base/CBaseThread.h>
#include <kavra/base/CIPByteBuffer.h>
#include <kavra/base/CIPByteData.h>
#include <kavra/base/CPDU.h>
#include <kavra/base/CPDUHeader.h>
#include <kavra/base/CQWinThread.h>
#include <kavra/base/CSema.h>
#include <kavra/base/CServerStatus.h>
#include <kavra/base/CSocket.h>
#include <kavra/base/CSocketClientThread.h>
#include <kavra/base/CTLV.h>
#include <kavra/base/MemoryRegistry.h>
#include <kavra/base/WinTypes.h>

#include "support/PublicApiProbe.h"

namespace {

TEST(WindowsHeaderFirst, PublicNamesWork) {
    kavra::test::ProbeThePublicNames();
}

#if defined(_WIN32)
// With <windows.h> the unsuffixed names are macros for the A forms, which are
// the library's own methods.
TEST(WindowsHeaderFirst, MacroNamesReachTheAForms) {
    kavra::test::ProbeQueue queue;
    EXPECT_NE(queue.PostMessage(5, 0, 0), 0);
    MSG msg{};
    EXPECT_NE(queue.PeekMessage(&msg, 0, 0, PM_REMOVE), 0);
    EXPECT_EQ(msg.message, 5U);
    EXPECT_STREQ(queue.GetClassName(), "CBaseThread");
    static_assert(sizeof(MSG) == sizeof(tagMSG), "MSG is the system's record");
}
#endif

} // namespace
