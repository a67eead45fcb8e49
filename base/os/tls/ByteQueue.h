// Bytes added at the back and taken from the front of one block, with begin
// and end indices: room is made without zero-filling, taking moves nothing,
// and an emptied queue starts again at the front of its block. The block
// grows to the most the queue ever held at once and is kept.
//
// One thread at a time: the owner's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace kavra::os {

class ByteQueue {
public:
    std::size_t Size() const { return m_end - m_begin; }
    bool Empty() const { return m_end == m_begin; }
    const char* Data() const { return m_block.get() + m_begin; }
    // For a library that works on the bytes in place (Schannel decrypts so).
    char* Data() { return m_block.get() + m_begin; }

    // Room for n bytes at the back, to write into; Commit(k) adds the first
    // k of them to the queue.
    char* Room(std::size_t n) {
        if (m_capacity - m_end < n) {
            makeRoom(n);
        }
        return m_block.get() + m_end;
    }
    void Commit(std::size_t n) { m_end += n; }
    void Append(const char* src, std::size_t n) {
        std::memcpy(Room(n), src, n);
        Commit(n);
    }

    // Takes n (at most Size()) bytes off the front.
    void Consume(std::size_t n) {
        m_begin += std::min(n, Size());
        if (m_begin == m_end) {
            m_begin = 0;
            m_end = 0;
        }
    }
    // Copies up to n bytes off the front into dst: the count.
    std::size_t Take(char* dst, std::size_t n) {
        const std::size_t count = std::min(n, Size());
        if (count > 0) {
            std::memcpy(dst, Data(), count);
            Consume(count);
        }
        return count;
    }

private:
    void makeRoom(std::size_t n) {
        const std::size_t size = Size();
        if (m_capacity - size >= n) {
            // The block is big enough once what is left moves to its front.
            std::memmove(m_block.get(), Data(), size);
        } else {
            const std::size_t capacity = std::max(m_capacity * 2, size + n);
            std::unique_ptr<char[]> block(new char[capacity]);
            if (size > 0) {
                std::memcpy(block.get(), Data(), size);
            }
            m_block = std::move(block);
            m_capacity = capacity;
        }
        m_begin = 0;
        m_end = size;
    }

    std::unique_ptr<char[]> m_block;
    std::size_t m_capacity = 0;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

} // namespace kavra::os
