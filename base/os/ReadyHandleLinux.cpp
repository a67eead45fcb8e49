#include "base/os/ReadyHandle.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kavra {

namespace {

int asFd(ReadyHandle::Native handle) {
    return static_cast<int>(handle);
}

} // namespace

ReadyHandle::ReadyHandle() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    m_handle = fd;
}

ReadyHandle::~ReadyHandle() {
    ::close(asFd(m_handle));
}

void ReadyHandle::Set() {
    if (m_set) {
        return;
    }
    // The counter holds at most 1 (one write per level change), so only an
    // interrupted call can fail.
    const std::uint64_t one = 1;
    while (::write(asFd(m_handle), &one, sizeof one) < 0 && errno == EINTR) {
    }
    m_set = true;
}

void ReadyHandle::Clear() {
    if (!m_set) {
        return;
    }
    // Reading returns the counter and resets it to 0: not readable any more.
    std::uint64_t value = 0;
    while (::read(asFd(m_handle), &value, sizeof value) < 0 && errno == EINTR) {
    }
    m_set = false;
}

bool ReadyHandle::WaitReadable(Native handle, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd entry{asFd(handle), POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready >= 0 || errno != EINTR) {
            return ready > 0 && (entry.revents & POLLIN) != 0;
        }
        if (timeoutMs > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

} // namespace kavra
