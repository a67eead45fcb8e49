#include "ToolClient.h"

#include "Commands.h"
#include "ServerSocket.h"

#include <kavra/TlsErrors.h>
#include <kavra/base/CServerStatus.h>
#include <kavra/base/CSocket.h>
#include <kavra/kavra.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace kavra::tool {

namespace {

// A failure of TLS or of a proxy's handshake: it has a text and a detail of its own.
bool isTlsError(int error) {
    return (error >= KAVRA_TLS_ERROR_FIRST && error <= KAVRA_TLS_ERROR_LAST) ||
           (error >= KAVRA_PROXY_ERROR_FIRST && error <= KAVRA_PROXY_ERROR_LAST);
}

std::string errorText(int error) {
    return isTlsError(error) ? std::string(kavra_tls_strerror(error))
                             : ServerSocket::ErrorText(error);
}

} // namespace

ToolClient::~ToolClient() {
    // The event handlers print through this object.
    Destroy();
}

void ToolClient::Connect(const Address& address, bool reconnect, unsigned int idleLimitMs,
                         const kavra::TlsOptions& tls, const std::string& proxy) {
    m_where = address.ToString();
    const std::string where = "cannot connect to " + m_where + ": ";
    CServerStatus server(address.Host(), address.Port());
    std::string badProxy;
    if (server.SetProxy(proxy, &badProxy) != 0) {
        throw std::runtime_error("bad --proxy: " + badProxy);
    }
    // Through a proxy the name is the proxy's to resolve.
    if (proxy.empty() && !ServerSocket::HostResolves(address.Host())) {
        throw std::runtime_error(where + "cannot resolve host '" + address.Host() + "'");
    }
    server.SetReconnect(reconnect);
    server.SetBackoff(50, 1000);
    server.SetIdleLimitMs(idleLimitMs);
    server.SetTls(tls);
    if (SetSocket(nullptr, 0, &server) == 0) {
        const std::string why = connectFailure(GetSocket()->GetLastError());
        SetSocket(nullptr, 0, nullptr);
        throw std::runtime_error(where + why);
    }
    Create();
}

void ToolClient::OnSocketConnect(int error) {
    if (m_printEvents) {
        PrintError(error == 0 ? "connected to " + m_where
                              : "connect attempt failed: " + connectFailure(error));
    }
    KavraClientThread::OnSocketConnect(error);
}

void ToolClient::OnSocketClose(int error) {
    if (m_printEvents) {
        PrintError("connection lost: " + (error == 0 ? std::string("closed by the server")
                                          : error == ETIMEDOUT
                                              ? std::string("the server stopped answering")
                                              : errorText(error)));
    }
    KavraClientThread::OnSocketClose(error);
}

std::string ToolClient::connectFailure(int error) {
    const std::string detail = isTlsError(error) ? GetSocket()->GetLastErrorDetail() : "";
    return errorText(error) + (detail.empty() ? "" : ": " + detail);
}

void ToolClient::OnSocketReconnect(int attempt) {
    if (m_printEvents) {
        PrintError("reconnecting (attempt " + std::to_string(attempt) + ")");
    }
    KavraClientThread::OnSocketReconnect(attempt);
}

} // namespace kavra::tool
