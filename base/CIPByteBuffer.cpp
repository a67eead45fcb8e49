#include "kavra/base/CIPByteBuffer.h"

#include "base/BlockAccounting.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

// The content never grows beyond what an int count can name, so any length
// the buffer reports can be handed back to it as a count.
constexpr std::size_t kMaxContent = static_cast<std::size_t>(INT_MAX);

// First allocation; small frames then fit without growing.
constexpr std::size_t kMinCapacity = 64;

unsigned char* newBlock(std::size_t size) {
    return kavra::BlockAccounting::NewBytes(kavra::BlockKind::ByteBuffer, size);
}

void deleteBlock(unsigned char* block) noexcept {
    kavra::BlockAccounting::DeleteBytes(kavra::BlockKind::ByteBuffer, block);
}

std::size_t toCount(int n) {
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

} // namespace

CIPByteBuffer::CIPByteBuffer() = default;

CIPByteBuffer::CIPByteBuffer(const CIPByteBuffer& other) {
    const std::size_t length = other.m_write - other.m_read;
    if (length > 0) {
        m_data = newBlock(length);
        m_capacity = length;
        std::memcpy(m_data, other.m_data + other.m_read, length);
        m_write = length;
    }
}

CIPByteBuffer::CIPByteBuffer(CIPByteBuffer&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_capacity(std::exchange(other.m_capacity, 0)),
      m_read(std::exchange(other.m_read, 0)), m_write(std::exchange(other.m_write, 0)) {}

CIPByteBuffer& CIPByteBuffer::operator=(const CIPByteBuffer& other) {
    if (this != &other) {
        CIPByteBuffer copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CIPByteBuffer& CIPByteBuffer::operator=(CIPByteBuffer&& other) noexcept {
    if (this != &other) {
        deleteBlock(m_data);
        m_data = std::exchange(other.m_data, nullptr);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_read = std::exchange(other.m_read, 0);
        m_write = std::exchange(other.m_write, 0);
    }
    return *this;
}

CIPByteBuffer::~CIPByteBuffer() {
    deleteBlock(m_data);
}

unsigned char* CIPByteBuffer::getBuffer() {
    return m_data == nullptr ? nullptr : m_data + m_read;
}

const unsigned char* CIPByteBuffer::getBuffer() const {
    return m_data == nullptr ? nullptr : m_data + m_read;
}

unsigned int CIPByteBuffer::getLength() const {
    return static_cast<unsigned int>(m_write - m_read);
}

void CIPByteBuffer::empty() {
    m_read = 0;
    m_write = 0;
}

void CIPByteBuffer::reserve(int n) {
    const std::size_t wanted = toCount(n);
    if (m_read + wanted <= m_capacity) {
        return;
    }
    const std::size_t length = m_write - m_read;
    if (wanted <= m_capacity) {
        if (length > 0) {
            std::memmove(m_data, m_data + m_read, length);
        }
        m_read = 0;
        m_write = length;
        return;
    }
    auto* block = newBlock(wanted);
    if (length > 0) {
        std::memcpy(block, m_data + m_read, length);
    }
    deleteBlock(m_data);
    m_data = block;
    m_capacity = wanted;
    m_read = 0;
    m_write = length;
}

bool CIPByteBuffer::overlaps(const void* bytes, std::size_t n) const {
    if (m_data == nullptr || bytes == nullptr || n == 0) {
        return false;
    }
    // As integers: comparing pointers into different objects is unspecified.
    const auto first = reinterpret_cast<std::uintptr_t>(bytes);
    const auto begin = reinterpret_cast<std::uintptr_t>(m_data);
    return first < begin + m_capacity && begin < first + n;
}

unsigned char* CIPByteBuffer::makeRoom(std::size_t n) {
    const std::size_t length = m_write - m_read;
    if (n > kMaxContent - length) {
        throw std::length_error("CIPByteBuffer: content would exceed INT_MAX bytes");
    }
    if (m_capacity - m_write >= n) {
        return m_data + m_write;
    }
    if (length == 0) {
        m_read = 0;
        m_write = 0;
        if (m_capacity >= n) {
            return m_data;
        }
    } else if (length <= m_read) {
        // The content fits in the dead space, so this copy is paid for by the
        // removals that made the space: appends and removals stay amortised
        // O(1) even for a reader that takes frame after frame off the front.
        std::memmove(m_data, m_data + m_read, length);
        m_read = 0;
        m_write = length;
        if (m_capacity - m_write >= n) {
            return m_data + m_write;
        }
    }
    // Doubling keeps the number of reallocations logarithmic in the size.
    // The capacity stays within kMaxContent, so doubling cannot wrap even a
    // 32-bit size_t; length + n <= kMaxContent always fits.
    std::size_t capacity =
        m_capacity <= kMaxContent / 2 ? std::max(m_capacity * 2, kMinCapacity) : kMaxContent;
    capacity = std::max(capacity, length + n);
    auto* block = newBlock(capacity);
    if (length > 0) {
        std::memcpy(block, m_data + m_read, length);
    }
    deleteBlock(m_data);
    m_data = block;
    m_capacity = capacity;
    m_read = 0;
    m_write = length;
    return m_data + m_write;
}

void CIPByteBuffer::appendBytes(const void* src, int n) {
    const std::size_t count = toCount(n);
    if (count == 0) {
        return;
    }
    // Room at the back is the common case; the capacity never exceeds
    // kMaxContent, so the content cannot either.
    unsigned char* dst = m_capacity - m_write >= count ? m_data + m_write : makeRoom(count);
    if (src != nullptr) {
        std::memcpy(dst, src, count);
    } else {
        std::memset(dst, 0, count);
    }
    m_write += count;
}

void CIPByteBuffer::appendBytes0(int n) {
    appendBytes(nullptr, n);
}

void CIPByteBuffer::appendString(const void* src, int n) {
    if (src != nullptr) {
        appendBytes(src, n);
        return;
    }
    // The caller writes the new bytes itself: clearing them first would be
    // wasted.
    const std::size_t count = toCount(n);
    if (m_capacity - m_write < count) {
        makeRoom(count);
    }
    m_write += count;
}

void CIPByteBuffer::appendInt(int value) {
    const auto v = static_cast<std::uint32_t>(value);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(v >> 24),
        static_cast<unsigned char>(v >> 16),
        static_cast<unsigned char>(v >> 8),
        static_cast<unsigned char>(v),
    };
    appendBytes(bytes, 4);
}

void CIPByteBuffer::appendShort(short value) {
    const auto v = static_cast<std::uint16_t>(value);
    const unsigned char bytes[2] = {
        static_cast<unsigned char>(v >> 8),
        static_cast<unsigned char>(v),
    };
    appendBytes(bytes, 2);
}

void CIPByteBuffer::appendBuffer(const CIPByteBuffer* other) {
    if (other == nullptr) {
        return;
    }
    const std::size_t count = other->m_write - other->m_read;
    if (count == 0) {
        return;
    }
    // other may be this buffer: make room first, then take the source address,
    // since making room can move the content.
    unsigned char* dst = makeRoom(count);
    std::memcpy(dst, other->m_data + other->m_read, count);
    m_write += count;
}

int CIPByteBuffer::removeBytes0(int n) {
    const std::size_t count = std::min(toCount(n), m_write - m_read);
    m_read += count;
    if (m_read == m_write) {
        m_read = 0;
        m_write = 0;
    }
    return static_cast<int>(count);
}

int CIPByteBuffer::removeString(void* dst, int n) {
    const std::size_t wanted = toCount(n);
    const std::size_t count = std::min(wanted, m_write - m_read);
    if (dst != nullptr && wanted > 0) {
        auto* out = static_cast<unsigned char*>(dst);
        if (count > 0) {
            std::memcpy(out, m_data + m_read, count);
        }
        // Only a short buffer leaves a tail to clear; a call for nothing
        // would cost as much as the copy of a small body.
        if (wanted > count) {
            std::memset(out + count, 0, wanted - count);
        }
    }
    return removeBytes0(static_cast<int>(count));
}

int CIPByteBuffer::removeInt() {
    if (m_write - m_read < 4) {
        empty();
        return 0;
    }
    const unsigned char* p = m_data + m_read;
    const std::uint32_t v =
        (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
        (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
    removeBytes0(4);
    return static_cast<int>(v);
}

short CIPByteBuffer::removeShort() {
    if (m_write - m_read < 2) {
        empty();
        return 0;
    }
    const unsigned char* p = m_data + m_read;
    const auto v = static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    removeBytes0(2);
    return static_cast<short>(v);
}
