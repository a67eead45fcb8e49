#include "base/os/proxy/LeftoverStream.h"

#include <algorithm>
#include <cstring>

namespace kavra::os {

long LeftoverStream::RecvSome(void* dst, std::size_t n, int& error) {
    const std::size_t left = m_leftover.size() - m_taken;
    if (left == 0) {
        return m_next->RecvSome(dst, n, error);
    }
    const std::size_t take = std::min(n, left);
    std::memcpy(dst, m_leftover.data() + m_taken, take);
    m_taken += take;
    if (m_taken == m_leftover.size()) {
        m_leftover = {};
        m_taken = 0;
    }
    return static_cast<long>(take);
}

PeekResult LeftoverStream::PeekForClose(int& error) {
    return m_leftover.size() > m_taken ? PeekResult::Data : m_next->PeekForClose(error);
}

} // namespace kavra::os
