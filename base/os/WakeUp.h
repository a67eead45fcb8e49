// A wake-up signal that a thread's poll loop can wait on beside its socket.
//
// Signal() from any thread makes Handle() readable until the loop calls
// Clear(). Signals coalesce: while one is pending, further ones cost a single
// atomic exchange and no system call. The loop must call Clear() as soon as
// its wait reports the handle readable and before it looks at the work the
// signal announces; then a signal that races with Clear() is either seen as
// pending work or makes the handle readable again, and none is lost.
#pragma once

#include "base/os/SocketApi.h"

#include <atomic>

namespace kavra {

class WakeUp {
public:
    // Throws std::system_error when the system refuses the handle.
    WakeUp();
    ~WakeUp();
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    // Any thread.
    void Signal();
    // The waiting thread only.
    void Clear();
    // The handle to wait on for readability, beside the socket in
    // os::WaitLoop. Any thread.
    os::SocketHandle Handle() const { return m_handle; }

private:
    os::SocketHandle m_handle = os::INVALID_SOCKET_HANDLE;
    std::atomic<bool> m_pending{false};
};

} // namespace kavra
