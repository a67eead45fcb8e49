#include "support/TestSocket.h"

#include "serving/ServingApi.h"

#include <cerrno>
#include <vector>

namespace kavra::test::net {

namespace {

// How long ConnectLoopback waits for the loopback listener to answer.
constexpr unsigned int CONNECT_TIMEOUT_MS = 10000;

// A reset, whichever way the system words it.
int asReset(int error) {
    return error == ECONNABORTED ? ECONNRESET : error;
}

int waitFor(Handle handle, bool read, int timeoutMs) {
    std::vector<os::WaitItem> items(1);
    items[0].handle = handle;
    items[0].wantRead = read;
    items[0].wantWrite = !read;
    int error = 0;
    const int rc = os::WaitAny(items, timeoutMs, error);
    return rc > 0 ? 1 : rc;
}

} // namespace

Handle ListenLoopback(Family family, unsigned short port, int backlog, bool reuseAddress,
                      int& error) {
    return os::ListenTcp(family == Family::Ipv6 ? "::1" : "127.0.0.1", port, backlog,
                         reuseAddress ? os::PortReuse::Lingering : os::PortReuse::Plain, error);
}

unsigned short LocalPort(Handle handle) {
    return os::LocalPort(handle);
}

Handle Accept(Handle listener, bool nonBlocking) {
    return os::Accept(listener, nonBlocking, false, nullptr);
}

Handle ConnectLoopback(unsigned short port) {
    int error = 0;
    const Handle handle = os::ConnectTcp("127.0.0.1", port, CONNECT_TIMEOUT_MS, error, nullptr);
    if (handle != INVALID_HANDLE && os::SetBlocking(handle, true) != 0) {
        os::CloseSocket(handle);
        return INVALID_HANDLE;
    }
    return handle;
}

bool ConnectedPair(Handle pair[2]) {
    return os::ConnectedPair(pair);
}

long Send(Handle handle, const void* src, std::size_t n, int& error) {
    const long sent = os::Send(handle, src, n, error);
    error = asReset(error);
    return sent;
}

long Recv(Handle handle, void* dst, std::size_t n, int& error) {
    const long got = os::Recv(handle, dst, n, error);
    error = asReset(error);
    return got;
}

bool SendAll(Handle handle, const void* src, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(src);
    std::size_t done = 0;
    while (done < n) {
        int error = 0;
        const long sent = Send(handle, bytes + done, n - done, error);
        if (sent < 0 && error == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

long RecvAll(Handle handle, void* dst, std::size_t n) {
    auto* bytes = static_cast<unsigned char*>(dst);
    std::size_t done = 0;
    while (done < n) {
        int error = 0;
        const long got = Recv(handle, bytes + done, n - done, error);
        if (got < 0 && error == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

int WaitReadable(Handle handle, int timeoutMs) {
    return waitFor(handle, true, timeoutMs);
}

int WaitWritable(Handle handle, int timeoutMs) {
    return waitFor(handle, false, timeoutMs);
}

void Shutdown(Handle handle) {
    os::ShutdownBoth(handle);
}

bool ShutdownResetsLaterData() {
    return os::ShutdownResetsLaterData();
}

void Close(Handle handle) {
    if (handle != INVALID_HANDLE) {
        os::CloseSocket(handle);
    }
}

void Reset(Handle handle) {
    os::CloseAbortive(handle);
}

} // namespace kavra::test::net
