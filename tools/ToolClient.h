// The tool's client connection: a KavraClientThread that keeps received PDUs
// for ReceivePdu, with a connect step that reports failures in one line.
#pragma once

#include "Address.h"

#include <kavra/KavraClientThread.h>

namespace kavra::tool {

class ToolClient : public KavraClientThread {
public:
    // Connects to address and starts the worker thread. With reconnect, the
    // worker reconnects with backoff after the connection drops. Throws
    // std::runtime_error("cannot connect to HOST:PORT: reason"). Application
    // thread, once.
    void Connect(const Address& address, bool reconnect);

protected:
    // PDUs wait in the receive queue for ReceivePdu.
    void OnReceiveQueuePush() override {}
};

} // namespace kavra::tool
