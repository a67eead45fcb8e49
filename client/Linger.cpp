#include "client/Linger.h"

#include <algorithm>

namespace kavra {

Linger::Linger(int ioTimeoutMs)
    : m_ioTimeoutMs(ioTimeoutMs), m_ms(static_cast<unsigned int>(ioTimeoutMs)) {}

void Linger::Start() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(Get());
    m_deadline.store(deadline.time_since_epoch().count());
}

int Linger::lingerLeftMs() const {
    const Clock::time_point deadline{Clock::duration{m_deadline.load()}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, m_ioTimeoutMs));
}

} // namespace kavra
