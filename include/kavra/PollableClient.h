#pragma once

#include "kavra/Export.h"
#include "kavra/KavraClientThread.h"

#include <cstdint>

namespace kavra {

/**
 * A client connection whose received PDUs wait for consumers, with a handle
 * that an event loop (epoll, poll, Asio, asyncio, libuv, Qt's socket
 * notifiers, WaitForMultipleObjects) watches instead of a thread blocked in
 * GetMessageA.
 *
 * Received PDUs stay in the receive queue until GetMessageA or ReceivePdu
 * takes them, and the receive overflow is ReceiveOverflow::Block: when
 * MAX_RECEIVE_QUEUE PDUs wait, the worker stops reading and TCP slows the
 * peer, so a burst is delayed, not dropped. SetReceiveOverflow(Drop) brings
 * the dropping back.
 *
 * The receive handle is level-triggered: it is readable (on Windows: the
 * event is signalled) exactly while at least one received PDU waits in the
 * queue, and stops being readable when a consumer takes the last one,
 * without the application reading or resetting the handle. On Linux it is a
 * descriptor for poll, epoll (level mode; not EPOLLET) or select; on Windows
 * an event HANDLE for WaitForSingleObject and WaitForMultipleObjects. The
 * client owns it and closes it when destroyed; the application only waits
 * on it: it never reads, writes, resets or closes it.
 *
 * The one race is inherent in sharing a queue: when several consumers wait
 * on the handle, another one may take the PDU between a wake-up and the
 * take, so a take after a wake-up may find nothing, and GetMessageA with
 * timeout 0 then returns 1 (ReceivePdu: RECEIVE_NOTHING). Such a consumer
 * simply waits again. A single consumer always finds a PDU after the handle
 * was readable.
 *
 * Otherwise it is a KavraClientThread: set it up, Create(), send and
 * receive from any threads, Destroy(). The destructor stops the worker
 * first.
 */
class KAVRA_API PollableClient : public KavraClientThread {
public:
    /// The handle's integer type: an int descriptor on Linux, a HANDLE on
    /// Windows.
    using Handle = std::intptr_t;

    /// Opens the receive handle (not readable) and sets the receive overflow
    /// to Block. Throws std::system_error when the system refuses the
    /// handle. Application thread.
    PollableClient();
    /// Stops the worker (as Destroy does), then closes the handle.
    /// Application thread.
    ~PollableClient() override;
    ///@{
    /// Copying is refused, as for KavraClientThread.
    PollableClient(const PollableClient&) = delete;
    PollableClient& operator=(const PollableClient&) = delete;
    ///@}

    /// The receive handle; the same value for the object's whole life. Any
    /// thread.
    Handle GetReceiveHandle() const { return m_receiveHandle; }

protected:
    /// Leaves the PDU in the receive queue for the consumers. Worker thread.
    void OnReceiveQueuePush() override;

private:
    Handle m_receiveHandle;
};

} // namespace kavra
