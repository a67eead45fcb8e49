#include "base/os/WakeUp.h"

#include "base/os/Winsock.h"

#include <system_error>
#include <thread>

namespace kavra {

// Winsock waits on sockets only, so the signal is a UDP socket on the
// loopback interface that is connected to itself: Signal() sends it one
// datagram, which makes it readable, and Clear() reads everything that came.
WakeUp::WakeUp() {
    os::StartWinsock();
    const SOCKET socket = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        throw std::system_error(os::LastSocketError(), std::generic_category(), "wake-up socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        os::MakeNonBlocking(socket) != 0) {
        const int error = os::LastSocketError();
        ::closesocket(socket);
        throw std::system_error(error, std::generic_category(), "wake-up socket");
    }
    m_handle = os::FromSocket(socket);
}

WakeUp::~WakeUp() {
    ::closesocket(os::ToSocket(m_handle));
}

void WakeUp::Signal() {
    if (m_pending.exchange(true)) {
        return;
    }
    // One datagram per pending period, so the socket's buffer cannot fill;
    // a send refused for the moment (seen under Wine as WSAEWOULDBLOCK) is
    // tried again, because while m_pending stays set no later Signal sends
    // and the loop would sleep through this one.
    const char byte = 1;
    while (::send(os::ToSocket(m_handle), &byte, 1, 0) == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK && error != WSAEINTR && error != WSAENOBUFS) {
            // Nothing will make the handle readable: let the next Signal try.
            m_pending.store(false);
            return;
        }
        std::this_thread::yield();
    }
}

void WakeUp::Clear() {
    // Datagrams come one per recv; an empty socket (WSAEWOULDBLOCK) ends it.
    char drain[16];
    while (::recv(os::ToSocket(m_handle), drain, sizeof drain, 0) > 0) {
    }
    m_pending.store(false);
}

} // namespace kavra
