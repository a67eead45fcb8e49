// The thread message record with the fields and layout of <windows.h>'s MSG.
#pragma once

struct tagMSG {
    void* hwnd;
    unsigned int message;
    decltype(sizeof 0) wParam;
    decltype(static_cast<char*>(nullptr) - static_cast<char*>(nullptr)) lParam;
    unsigned long time;
    struct {
        long x;
        long y;
    } pt;
};
