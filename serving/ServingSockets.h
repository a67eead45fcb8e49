// What the serving side's files share beyond Sockets.h: the two calls
// whose spelling differs between POSIX and Winsock. Internal to the
// platform layer (base/os and serving/).
#pragma once

#include "serving/ServingApi.h"
#include "base/os/Sockets.h"

namespace kavra::os {

// Takes one pending connection with the given blocking mode and no
// inheritance; address receives the peer. INVALID_SOCKET_HANDLE when none.
SocketHandle AcceptNative(SocketHandle listener, bool nonBlocking, sockaddr_storage& address);

// Gives a socket about to be bound the port sharing that reuse asks for;
// 0, or the error code.
int SetPortReuse(SocketHandle handle, PortReuse reuse);

} // namespace kavra::os
