// The serving side as the tool sees it: a listening socket, non-blocking
// transfers on accepted connections, and one wait over the listener, the
// connections and a wake-up handle. The socket calls themselves are the
// platform layer's (base/os).
#pragma once

#include "serving/ServingApi.h"
#include "base/os/WakeUp.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavra::tool {

class ServerSocket {
public:
    // A socket: a descriptor on POSIX, a SOCKET on Windows.
    using Handle = os::SocketHandle;
    static constexpr Handle INVALID_HANDLE = os::INVALID_SOCKET_HANDLE;

    // One connection's interest and, after Wait, what it is ready for.
    using Item = os::WaitItem;

    // Binds host:port (port 0: any free port) and listens. Throws
    // std::runtime_error with a one-line reason ("Address already in use").
    ServerSocket(const std::string& host, unsigned short port);
    ~ServerSocket();
    ServerSocket(const ServerSocket&) = delete;
    ServerSocket& operator=(const ServerSocket&) = delete;

    // The bound port and the numeric host, as the system reports them.
    unsigned short Port() const { return m_port; }
    const std::string& Host() const { return m_host; }

    // Takes one pending connection: its handle (non-blocking), or
    // INVALID_HANDLE when none is waiting. peer receives HOST:PORT of the
    // other side. Serving thread.
    Handle Accept(std::string& peer);

    // Waits up to timeoutMs for a pending connection, a Wake, or an item's
    // interest. Returns true when a connection is pending. Serving thread.
    bool Wait(std::vector<Item>& items, int timeoutMs);
    // Ends the current or next Wait early. Any thread.
    void Wake();

    // One non-blocking transfer. Read: bytes read, 0 when nothing is there
    // yet, -1 when the peer closed or the connection failed. Write: bytes
    // written (0 when it would block), -1 on failure.
    static long Read(Handle handle, void* dst, std::size_t n);
    static long Write(Handle handle, const void* src, std::size_t n);
    static void Close(Handle handle);

    // True when host resolves to at least one address.
    static bool HostResolves(const std::string& host);
    // A one-line text for an error code of this system's sockets, as the
    // library's GetLastError reports them ("Connection refused").
    static std::string ErrorText(int error);

private:
    Handle m_listen = INVALID_HANDLE;
    WakeUp m_wake;
    unsigned short m_port = 0;
    std::string m_host;
};

} // namespace kavra::tool
