// A level signal that an application's event loop waits on: readable (on
// Windows: signalled) exactly while its owner says work waits, whatever the
// loop does with it.
//
// The owner calls Set() and Clear() as the state it reports changes, under
// the lock that guards that state, so the handle follows the state in the
// same order; the calls are idempotent and cost a system call only when the
// level changes. Nobody else reads, writes or resets the handle: a loop only
// waits on it (poll/epoll/select for readability on Linux,
// WaitForSingleObject and its kin on Windows).
//
// Linux: an eventfd that is not in semaphore mode. Set() adds 1 to its
// counter, which makes it readable; Clear() reads the counter back to 0.
// Windows: a manual-reset event, which a wait does not reset.
#pragma once

#include <cstdint>

namespace kavra {

class ReadyHandle {
public:
    /// The descriptor (Linux) or HANDLE (Windows) as an integer.
    using Native = std::intptr_t;

    /// Not readable. Throws std::system_error when the system refuses it.
    ReadyHandle();
    /// Closes the handle: a loop must stop waiting on it before.
    ~ReadyHandle();
    ReadyHandle(const ReadyHandle&) = delete;
    ReadyHandle& operator=(const ReadyHandle&) = delete;

    /// Makes the handle readable. Under the owner's lock.
    void Set();
    /// Makes it not readable. Under the owner's lock.
    void Clear();
    /// The handle to wait on. Any thread.
    Native Get() const { return m_handle; }
    /// Waits up to timeoutMs (0: just looks, negative: no limit) for handle
    /// (Get() of a ReadyHandle) to be readable, as an event loop would see
    /// it, and leaves it as it is. Any thread.
    static bool WaitReadable(Native handle, int timeoutMs);

private:
    Native m_handle = -1;
    // The level last given; guarded by the owner's lock.
    bool m_set = false;
};

} // namespace kavra
