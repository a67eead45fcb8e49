#include "ServerSocket.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace kavra::tool {

ServerSocket::ServerSocket(const std::string& host, unsigned short port) {
    const std::string where = os::FormatHostPort(host, port);
    int error = 0;
    m_listen = os::ListenTcp(host, port, os::LARGEST_BACKLOG, os::PortReuse::Exclusive, error);
    if (m_listen == INVALID_HANDLE) {
        if (error == EHOSTUNREACH) {
            throw std::runtime_error("cannot listen on " + where + ": cannot resolve host '" +
                                     host + "'");
        }
        throw std::runtime_error("cannot listen on " + where + ": " + ErrorText(error));
    }
    os::SetBlocking(m_listen, false);
    m_port = os::LocalPort(m_listen);
    m_host = host;
}

ServerSocket::~ServerSocket() {
    os::CloseSocket(m_listen);
}

ServerSocket::Handle ServerSocket::Accept(std::string& peer) {
    return os::Accept(m_listen, true, true, &peer);
}

bool ServerSocket::Wait(std::vector<Item>& items, int timeoutMs) {
    std::vector<Item> waits(2);
    waits[0].handle = m_listen;
    waits[1].handle = m_wake.Handle();
    waits[0].wantRead = waits[1].wantRead = true;
    waits.insert(waits.end(), items.begin(), items.end());
    int error = 0;
    const bool any = os::WaitAny(waits, timeoutMs, error) > 0;
    if (any && waits[1].readable) {
        m_wake.Clear();
    }
    std::copy(waits.begin() + 2, waits.end(), items.begin());
    return any && waits[0].readable;
}

void ServerSocket::Wake() {
    m_wake.Signal();
}

long ServerSocket::Read(Handle handle, void* dst, std::size_t n) {
    for (;;) {
        int error = 0;
        const long got = os::Recv(handle, dst, n, error);
        if (got > 0) {
            return got;
        }
        if (got < 0 && error == EINTR) {
            continue;
        }
        return got < 0 && error == EAGAIN ? 0 : -1;
    }
}

long ServerSocket::Write(Handle handle, const void* src, std::size_t n) {
    for (;;) {
        int error = 0;
        const long put = os::Send(handle, src, n, error);
        if (put >= 0) {
            return put;
        }
        if (error != EINTR) {
            return error == EAGAIN ? 0 : -1;
        }
    }
}

void ServerSocket::Close(Handle handle) {
    if (handle != INVALID_HANDLE) {
        os::CloseSocket(handle);
    }
}

bool ServerSocket::HostResolves(const std::string& host) {
    std::vector<os::Address> addresses;
    return os::LookupAddresses(host, 0, false, addresses) == 0;
}

std::string ServerSocket::ErrorText(int error) {
    return os::ErrorText(error);
}

} // namespace kavra::tool
