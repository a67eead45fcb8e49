// Resolving and connecting, written once for both systems.
#include "base/os/Sockets.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace kavra::os {

// Shared by the waiting caller and the lookup thread, so that whichever
// finishes last frees it.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    std::vector<Address> addresses;
};

namespace {

std::atomic<int> g_lookupThreads{0};

// Runs the system's lookup on a thread of its own; false when no thread
// could be made.
bool launchLookup(const std::shared_ptr<PendingLookup>& pending, const std::string& host,
                  unsigned short port, std::thread& lookup) {
    g_lookupThreads.fetch_add(1);
    try {
        lookup = std::thread([pending, host, port] {
            std::vector<Address> found;
            const int error = LookupAddresses(host, port, false, found);
            {
                const std::lock_guard<std::mutex> lock(pending->mutex);
                pending->error = error;
                pending->addresses = std::move(found);
                pending->finished = true;
                pending->done.notify_all();
            }
            g_lookupThreads.fetch_sub(1);
        });
    } catch (const std::system_error&) {
        g_lookupThreads.fetch_sub(1);
        return false;
    }
    return true;
}

} // namespace

SocketHandle StartConnect(const Address& address, int& error) {
    const SocketHandle handle =
        OpenSocket(address.family, address.socktype, address.protocol, error);
    if (handle == INVALID_SOCKET_HANDLE) {
        return handle;
    }
    error = SetBlocking(handle, false);
    sockaddr_storage target{};
    std::memcpy(&target, address.bytes.data(), address.length);
    if (error == 0 && ::connect(Native(handle), reinterpret_cast<const sockaddr*>(&target),
                                static_cast<SocketLength>(address.length)) != 0) {
        // An interrupted connect goes on in the background just like one in
        // progress (EAGAIN is how Winsock says it); all finish when the
        // socket becomes writable.
        error = LastSocketError();
        if (error == EINTR || error == EAGAIN) {
            error = EINPROGRESS;
        }
    }
    if (error != 0 && error != EINPROGRESS) {
        CloseSocket(handle);
        return INVALID_SOCKET_HANDLE;
    }
    if (error == 0) {
        SetNoDelay(handle);
    }
    return handle;
}

int ConnectProgress(SocketHandle handle) {
    int error = 0;
    const int ready = WaitReady(handle, Direction::Write, 0, error);
    if (ready == 0) {
        return EINPROGRESS;
    }
    error = ready > 0 ? PendingConnectError(handle) : error;
    if (error == 0) {
        SetNoDelay(handle);
    }
    return error;
}


int WaitReadyBy(SocketHandle handle, Direction direction,
                std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel != nullptr && cancel->load()) {
            return ECANCELED;
        }
        const int left = MsUntil(deadline);
        if (left == 0) {
            return ETIMEDOUT;
        }
        const int slice =
            cancel != nullptr && left > CONNECT_CANCEL_POLL_MS ? CONNECT_CANCEL_POLL_MS : left;
        int error = 0;
        const int ready = WaitReady(handle, direction, slice, error);
        if (ready != 0) {
            return ready > 0 ? 0 : error;
        }
    }
}

SocketHandle ConnectAddress(const Address& address, std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>* cancel, int& error) {
    const SocketHandle handle = StartConnect(address, error);
    if (error == EINPROGRESS) {
        // A stop request is seen soon: the wait goes in slices.
        error = WaitReadyBy(handle, Direction::Write, deadline, cancel);
        error = error != 0 ? error : ConnectProgress(handle);
        if (error != 0) {
            CloseSocket(handle);
            return INVALID_SOCKET_HANDLE;
        }
    }
    return handle;
}

int ResolveBounded(const std::string& host, unsigned short port, unsigned int timeoutMs,
                   const std::atomic<bool>* cancel, std::vector<Address>& out) {
    if (LookupAddresses(host, port, true, out) == 0) {
        return 0;
    }
    auto pending = std::make_shared<PendingLookup>();
    std::thread lookup;
    if (!launchLookup(pending, host, port, lookup)) {
        return EAGAIN;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int error = 0;
    {
        std::unique_lock<std::mutex> lock(pending->mutex);
        while (!pending->finished && error == 0) {
            const auto slice = std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(CONNECT_CANCEL_POLL_MS);
            pending->done.wait_until(lock, std::min(slice, deadline));
            if (pending->finished) {
                break;
            }
            if (cancel != nullptr && cancel->load()) {
                error = ECANCELED;
            } else if (std::chrono::steady_clock::now() >= deadline) {
                error = ETIMEDOUT;
            }
        }
    }
    if (error != 0) {
        // The system's lookup cannot be interrupted; it ends by itself.
        lookup.detach();
        return error;
    }
    // The answer is in, so the thread is about to end: waiting for it means
    // no thread of ours is still freeing memory when the caller, perhaps the
    // whole process, moves on. A process that ends while another thread
    // holds the heap's lock can hang its exit on Windows.
    lookup.join();
    out = std::move(pending->addresses);
    return pending->error;
}

int StartLookup(const std::string& host, unsigned short port, std::vector<Address>& out,
                std::shared_ptr<PendingLookup>& pending) {
    if (LookupAddresses(host, port, true, out) == 0) {
        return 0;
    }
    pending = std::make_shared<PendingLookup>();
    std::thread lookup;
    if (!launchLookup(pending, host, port, lookup)) {
        pending.reset();
        return EAGAIN;
    }
    // Nobody waits for this thread: it ends by itself once the system answers.
    lookup.detach();
    return EINPROGRESS;
}

bool PollLookup(PendingLookup& pending, int& error, std::vector<Address>& out) {
    const std::lock_guard<std::mutex> lock(pending.mutex);
    if (!pending.finished) {
        return false;
    }
    error = pending.error;
    out = std::move(pending.addresses);
    return true;
}

int LookupThreadsAlive() {
    return g_lookupThreads.load();
}

SocketHandle ConnectTcp(const std::string& host, unsigned short port, unsigned int timeoutMs,
                        int& error, const std::atomic<bool>* cancel) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Address> addresses;
    error = ResolveBounded(host, port, timeoutMs, cancel, addresses);
    if (error != 0) {
        return INVALID_SOCKET_HANDLE;
    }
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
        const auto share = left / static_cast<long>(addresses.size() - i);
        const SocketHandle handle = ConnectAddress(addresses[i], Clock::now() + share, cancel, error);
        if (handle != INVALID_SOCKET_HANDLE || error == ECANCELED) {
            return handle;
        }
    }
    return INVALID_SOCKET_HANDLE;
}

} // namespace kavra::os
