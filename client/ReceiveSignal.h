#pragma once

#include "base/os/ReadyHandle.h"

#include <memory>

namespace kavra {

/**
 * The receive queue's level as a handle an event loop can wait on: readable
 * exactly while at least one received PDU waits for a consumer.
 *
 * Off until Open(); then the client reports every change of the queue's
 * emptiness under the receive queue's lock, so the handle follows the queue
 * in the queue's own order. A client without it pays one null check per
 * PDU.
 */
class ReceiveSignal {
public:
    /// Creates the handle, not readable. Before the worker runs. Throws
    /// std::system_error when the system refuses it.
    void Open() {
        if (!m_handle) {
            m_handle = std::make_unique<ReadyHandle>();
        }
    }
    /// Whether Open() was called. Any thread, once the worker runs.
    bool IsOpen() const { return m_handle != nullptr; }
    /// The handle, or -1 before Open(). Any thread.
    ReadyHandle::Native Native() const { return m_handle ? m_handle->Get() : -1; }
    /// Whether PDUs wait now. Under the receive queue's lock.
    void Follow(bool waiting) {
        if (!m_handle) {
            return;
        }
        if (waiting) {
            m_handle->Set();
        } else {
            m_handle->Clear();
        }
    }

private:
    std::unique_ptr<ReadyHandle> m_handle;
};

} // namespace kavra
