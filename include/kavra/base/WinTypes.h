/// @file
/// The few Windows types that the thread and semaphore interfaces use.
///
/// On Windows they come from <windows.h>; elsewhere this header defines
/// compatible records so that the same interfaces compile everywhere.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else

/// A thread message: an identifier and two parameters.
struct MSG {
    unsigned int message = 0;  ///< The identifier.
    std::uintptr_t wParam = 0; ///< First parameter.
    std::intptr_t lParam = 0;  ///< Second parameter.
};

/// Accepted by CSema for source compatibility; always passed as null.
struct SECURITY_ATTRIBUTES {
    unsigned long nLength = 0;            ///< Not read by the library.
    void* lpSecurityDescriptor = nullptr; ///< Not read by the library.
    int bInheritHandle = 0;               ///< Not read by the library.
};

/// Posted by Quit(); GetMessageA returns 0 when it takes this message.
inline constexpr unsigned int WM_QUIT = 0x0012;
/// PeekMessageA flag: leave the message queued.
inline constexpr unsigned int PM_NOREMOVE = 0x0000;
/// PeekMessageA flag: take the message.
inline constexpr unsigned int PM_REMOVE = 0x0001;

#endif
