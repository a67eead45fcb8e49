#include "ToolClient.h"

#include "ServerSocket.h"

#include <kavra/base/CServerStatus.h>
#include <kavra/base/CSocket.h>
#include <memory>
#include <stdexcept>

namespace kavra::tool {

void ToolClient::Connect(const Address& address, bool reconnect) {
    const std::string where = "cannot connect to " + address.ToString() + ": ";
    if (!ServerSocket::HostResolves(address.Host())) {
        throw std::runtime_error(where + "cannot resolve host '" + address.Host() + "'");
    }
    auto socket = std::make_unique<CSocket>();
    if (socket->Connect(address.Host(), address.Port(), 3000) == 0) {
        throw std::runtime_error(where + ServerSocket::ErrorText(socket->GetLastError()));
    }
    CServerStatus server(address.Host(), address.Port());
    server.SetReconnect(reconnect);
    server.SetBackoff(50, 1000);
    SetSocket(socket.release(), 1, &server);
    Create();
}

} // namespace kavra::tool
