#include "ToolClient.h"

#include "Commands.h"
#include "ServerSocket.h"

#include <kavra/base/CServerStatus.h>
#include <kavra/base/CSocket.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace kavra::tool {

ToolClient::~ToolClient() {
    // The event handlers print through this object.
    Destroy();
}

void ToolClient::Connect(const Address& address, bool reconnect, unsigned int idleLimitMs) {
    m_where = address.ToString();
    const std::string where = "cannot connect to " + m_where + ": ";
    if (!ServerSocket::HostResolves(address.Host())) {
        throw std::runtime_error(where + "cannot resolve host '" + address.Host() + "'");
    }
    CServerStatus server(address.Host(), address.Port());
    server.SetReconnect(reconnect);
    server.SetBackoff(50, 1000);
    server.SetIdleLimitMs(idleLimitMs);
    if (SetSocket(nullptr, 0, &server) == 0) {
        const int error = GetSocket()->GetLastError();
        SetSocket(nullptr, 0, nullptr);
        throw std::runtime_error(where + ServerSocket::ErrorText(error));
    }
    Create();
}

void ToolClient::OnSocketConnect(int error) {
    if (m_printEvents) {
        PrintError(error == 0 ? "connected to " + m_where
                              : "connect attempt failed: " + ServerSocket::ErrorText(error));
    }
    KavraClientThread::OnSocketConnect(error);
}

void ToolClient::OnSocketClose(int error) {
    if (m_printEvents) {
        PrintError("connection lost: " + (error == 0 ? std::string("closed by the server")
                                          : error == ETIMEDOUT
                                              ? std::string("the server stopped answering")
                                              : ServerSocket::ErrorText(error)));
    }
    KavraClientThread::OnSocketClose(error);
}

void ToolClient::OnSocketReconnect(int attempt) {
    if (m_printEvents) {
        PrintError("reconnecting (attempt " + std::to_string(attempt) + ")");
    }
    KavraClientThread::OnSocketReconnect(attempt);
}

} // namespace kavra::tool
