// The tool's client connection: a KavraClientThread that keeps received PDUs
// for ReceivePdu, with a connect step that reports failures in one line.
#pragma once

#include "Address.h"

#include <kavra/KavraClientThread.h>
#include <kavra/base/TlsOptions.h>

#include <string>

namespace kavra::tool {

class ToolClient : public KavraClientThread {
public:
    ~ToolClient() override;

    // Connects to address and starts the worker thread. With reconnect, the
    // worker reconnects with backoff after the connection drops; with an
    // idle limit, a connection that received nothing for that long counts
    // as dropped. With tls enabled every connection speaks TLS. Throws
    // std::runtime_error("cannot connect to HOST:PORT: reason"), the reason
    // saying what a person can do about it (for TLS the failure and its
    // detail: "the server's certificate is not trusted: ..."). Application
    // thread, once. With a proxy URL (CServerStatus::SetProxy) every
    // connection goes through it and the proxy resolves the host; a URL
    // that cannot be used throws std::runtime_error("bad --proxy: why").
    void Connect(const Address& address, bool reconnect, unsigned int idleLimitMs = 0,
                 const kavra::TlsOptions& tls = {}, const std::string& proxy = "");
    // Print connection events (drops, attempts, connects) to standard error.
    // Before Connect.
    void SetPrintEvents(bool print) { m_printEvents = print; }

protected:
    // PDUs wait in the receive queue for ReceivePdu.
    void OnReceiveQueuePush() override {}
    void OnSocketConnect(int error) override;
    void OnSocketClose(int error) override;
    void OnSocketReconnect(int attempt) override;

private:
    // Why the socket's last connect failed with error. Socket thread, or
    // the application thread before the worker starts.
    std::string connectFailure(int error);

    bool m_printEvents = false;
    std::string m_where;
};

} // namespace kavra::tool
