// A short walk through the public interface by its documented names, for the
// files that check the public headers against <windows.h> in both orders.
// The including file includes the library's headers and <windows.h> in the
// order it checks; this header includes neither.
#pragma once

#include <gtest/gtest.h>

namespace kavra::test {

class ProbeQueue : public CQWinThread {};

inline void ProbeThePublicNames() {
    ProbeQueue queue;
    EXPECT_NE(queue.PostMessageA(4242, 7, -3), 0);
    MSG msg{};
    ASSERT_NE(queue.PeekMessageA(&msg, 0, 0, PM_REMOVE), 0);
    EXPECT_EQ(msg.message, 4242U);
    EXPECT_EQ(msg.wParam, 7U);
    EXPECT_EQ(msg.lParam, -3);
    EXPECT_EQ(queue.PeekMessageA(&msg, 0, 0, PM_NOREMOVE), 0);
    EXPECT_STREQ(queue.GetClassNameA(), "CBaseThread");

    CSema sema(1, 1, nullptr, nullptr);
    EXPECT_EQ(sema.Lock(CSema::INFINITE_TIMEOUT), 1);
    EXPECT_EQ(sema.Unlock(1, nullptr), 1);

    KavraClientThread client;
    EXPECT_STREQ(client.GetClassNameA(), "CSocketClientThread");
    char body[] = "x";
    // No socket yet: refused before anything is copied.
    EXPECT_EQ(client.SendPdu(body, 1), 1);
    EXPECT_EQ(KavraHeader::HEADER_LENGTH, 14);
}

} // namespace kavra::test
