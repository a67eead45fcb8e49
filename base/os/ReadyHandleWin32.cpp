#include "base/os/ReadyHandle.h"

#include "base/os/Winsock.h"

#include <system_error>

namespace kavra {

namespace {

HANDLE asHandle(ReadyHandle::Native handle) {
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

// A manual-reset event: a wait that sees it signalled leaves it signalled,
// so every loop that waits on it sees the same level.
ReadyHandle::ReadyHandle() {
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "CreateEvent");
    }
    m_handle = reinterpret_cast<Native>(event);
}

ReadyHandle::~ReadyHandle() {
    ::CloseHandle(asHandle(m_handle));
}

void ReadyHandle::Set() {
    if (!m_set) {
        ::SetEvent(asHandle(m_handle));
        m_set = true;
    }
}

void ReadyHandle::Clear() {
    if (m_set) {
        ::ResetEvent(asHandle(m_handle));
        m_set = false;
    }
}

bool ReadyHandle::WaitReadable(Native handle, int timeoutMs) {
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForSingleObject(asHandle(handle), wait) == WAIT_OBJECT_0;
}

} // namespace kavra
