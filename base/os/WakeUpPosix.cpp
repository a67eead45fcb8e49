#include "base/os/WakeUp.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

namespace kavra {

WakeUp::WakeUp() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

WakeUp::~WakeUp() {
    ::close(m_fd);
}

void WakeUp::Signal() {
    if (m_pending.exchange(true)) {
        return;
    }
    const std::uint64_t one = 1;
    // The counter cannot overflow (one write per pending period), so the only
    // failure left is an interrupted call.
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeUp::Clear() {
    std::uint64_t value = 0;
    // Reading resets the counter to zero; an empty counter (EAGAIN) leaves
    // nothing to reset.
    while (::read(m_fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
    m_pending.store(false);
}

} // namespace kavra
