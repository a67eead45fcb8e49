// The Win32 half of the serving side: Winsock's spelling of the calls.
#include "serving/ServingSockets.h"

#include <cerrno>
#include <cstring>

namespace kavra::os {

namespace {

// How long ConnectedPair waits for its loopback connection.
constexpr unsigned int CONNECTED_PAIR_TIMEOUT_MS = 10000;

} // namespace

SocketHandle AcceptNative(SocketHandle listener, bool nonBlocking, sockaddr_storage& address) {
    int length = sizeof address;
    const SOCKET socket =
        ::accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (socket == INVALID_SOCKET) {
        return INVALID_SOCKET_HANDLE;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    // An accepted socket inherits the listener's mode; set the one asked for.
    if (SetBlocking(FromSocket(socket), !nonBlocking) != 0) {
        ::closesocket(socket);
        return INVALID_SOCKET_HANDLE;
    }
    return FromSocket(socket);
}

int SetPortReuse(SocketHandle handle, PortReuse reuse) {
    switch (reuse) {
    case PortReuse::Lingering:
        return SetFlag(handle, SOL_SOCKET, SO_REUSEADDR, true);
    case PortReuse::Exclusive:
        // Windows lets a second listener take a bound port with
        // SO_REUSEADDR; exclusive use makes it fail as it does elsewhere.
        return SetFlag(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, true);
    default:
        return 0;
    }
}

// A transfer in the socket's own mode is what SendSome and RecvSome make
// here: a blocking socket waits in them.
long Send(SocketHandle handle, const void* src, std::size_t n, int& error) {
    return SendSome(handle, src, n, error);
}

long Recv(SocketHandle handle, void* dst, std::size_t n, int& error) {
    return RecvSome(handle, dst, n, error);
}

void ShutdownBoth(SocketHandle handle) {
    ::shutdown(ToSocket(handle), SD_BOTH);
}

void ShutdownSend(SocketHandle handle) {
    ::shutdown(ToSocket(handle), SD_SEND);
}

void CloseAbortive(SocketHandle handle) {
    const linger abortive{1, 0};
    ::setsockopt(ToSocket(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
    CloseSocket(handle);
}

bool ShutdownResetsLaterData() {
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

bool ConnectedPair(SocketHandle pair[2]) {
    // Windows has no socketpair: a loopback listener joins the two ends.
    int error = 0;
    const SocketHandle listener = ListenTcp("127.0.0.1", 0, 1, PortReuse::Plain, error);
    if (listener == INVALID_SOCKET_HANDLE) {
        return false;
    }
    const SocketHandle client =
        ConnectTcp("127.0.0.1", LocalPort(listener), CONNECTED_PAIR_TIMEOUT_MS, error, nullptr);
    const SocketHandle server = client == INVALID_SOCKET_HANDLE
                                    ? INVALID_SOCKET_HANDLE
                                    : Accept(listener, false, false, nullptr);
    CloseSocket(listener);
    if (server == INVALID_SOCKET_HANDLE || SetBlocking(client, true) != 0) {
        if (client != INVALID_SOCKET_HANDLE) {
            CloseSocket(client);
        }
        if (server != INVALID_SOCKET_HANDLE) {
            CloseSocket(server);
        }
        return false;
    }
    pair[0] = client;
    pair[1] = server;
    return true;
}

int WaitAny(std::vector<WaitItem>& items, int timeoutMs, int& error) {
    // select takes at most FD_SETSIZE sockets a set; beyond that, the
    // remaining items wait for a later round.
    fd_set readable{};
    fd_set writable{};
    fd_set failed{};
    for (WaitItem& item : items) {
        item.readable = false;
        item.writable = false;
        const SOCKET socket = ToSocket(item.handle);
        if (item.wantRead && readable.fd_count < FD_SETSIZE) {
            readable.fd_array[readable.fd_count++] = socket;
        }
        if (item.wantWrite && writable.fd_count < FD_SETSIZE) {
            writable.fd_array[writable.fd_count++] = socket;
        }
        if ((item.wantRead || item.wantWrite) && failed.fd_count < FD_SETSIZE) {
            failed.fd_array[failed.fd_count++] = socket;
        }
    }
    timeval tv = ToTimeval(timeoutMs < 0 ? 0 : timeoutMs);
    const int ready = ::select(0, &readable, &writable, &failed, timeoutMs < 0 ? nullptr : &tv);
    if (ready == SOCKET_ERROR) {
        error = LastSocketError();
        return -1;
    }
    int count = 0;
    for (WaitItem& item : items) {
        const SOCKET socket = ToSocket(item.handle);
        item.readable = Holds(readable, socket) || Holds(failed, socket);
        item.writable = Holds(writable, socket);
        count += item.readable || item.writable ? 1 : 0;
    }
    return count;
}

std::string ErrorText(int error) {
    // The C runtime here has no texts for the network codes; these are the
    // ones the programs meet.
    switch (error) {
    case ECONNREFUSED:
        return "Connection refused";
    case ECONNRESET:
        return "Connection reset by peer";
    case ECONNABORTED:
        return "Software caused connection abort";
    case ETIMEDOUT:
        return "Connection timed out";
    case EHOSTUNREACH:
        return "No route to host";
    case ENETUNREACH:
        return "Network is unreachable";
    case EADDRINUSE:
        return "Address already in use";
    case EADDRNOTAVAIL:
        return "Cannot assign requested address";
    default:
        return std::strerror(error);
    }
}

} // namespace kavra::os
