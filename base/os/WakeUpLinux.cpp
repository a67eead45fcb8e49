#include "base/os/WakeUp.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

namespace kavra {

namespace {

// The handle is an eventfd here, kept in the socket handle type so that the
// loop waits on it beside the socket.
int asFd(os::SocketHandle handle) {
    return static_cast<int>(handle);
}

} // namespace

WakeUp::WakeUp() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    m_handle = fd;
}

WakeUp::~WakeUp() {
    ::close(asFd(m_handle));
}

void WakeUp::Signal() {
    if (m_pending.exchange(true)) {
        return;
    }
    const std::uint64_t one = 1;
    // The counter cannot overflow (one write per pending period), so the only
    // failure left is an interrupted call.
    while (::write(asFd(m_handle), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeUp::Clear() {
    std::uint64_t value = 0;
    // Reading resets the counter to zero; an empty counter (EAGAIN) leaves
    // nothing to reset.
    while (::read(asFd(m_handle), &value, sizeof value) < 0 && errno == EINTR) {
    }
    m_pending.store(false);
}

} // namespace kavra
