#include "base/os/SocketApi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace kavra::os {

namespace {

// Shared by the waiting caller and the lookup thread, so that whichever
// finishes last frees it.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    std::vector<Address> addresses;
};

} // namespace

int ResolveBounded(const std::string& host, unsigned short port, unsigned int timeoutMs,
                   const std::atomic<bool>* cancel, std::vector<Address>& out) {
    if (LookupAddresses(host, port, true, out) == 0) {
        return 0;
    }
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, host, port] {
            std::vector<Address> found;
            const int error = LookupAddresses(host, port, false, found);
            const std::lock_guard<std::mutex> lock(pending->mutex);
            pending->error = error;
            pending->addresses = std::move(found);
            pending->finished = true;
            pending->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return EAGAIN;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->finished) {
        if (cancel != nullptr && cancel->load()) {
            return ECANCELED;
        }
        const auto slice = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(CONNECT_CANCEL_POLL_MS);
        if (pending->done.wait_until(lock, std::min(slice, deadline)) == std::cv_status::timeout &&
            !pending->finished && std::chrono::steady_clock::now() >= deadline) {
            return ETIMEDOUT;
        }
    }
    out = std::move(pending->addresses);
    return pending->error;
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
