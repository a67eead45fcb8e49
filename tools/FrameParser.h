// Cuts frames out of the bytes a connection delivers, resynchronising on the
// next sync mark after garbage exactly as the client thread does: a header
// whose length is 0, negative or above the largest body is skipped (its 14
// bytes only) and the scan goes on after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <kavra/base/CIPByteBuffer.h>
#include <vector>

namespace kavra::tool {

class FrameParser {
public:
    void Append(const void* bytes, std::size_t n);
    // Takes the next whole frame off the front and puts its body in body.
    // False when no whole frame is buffered yet.
    bool Next(std::vector<unsigned char>& body);

    std::uint64_t SkippedBytes() const { return m_skipped; }
    std::uint64_t BadHeaders() const { return m_badHeaders; }
    std::size_t Buffered() const { return m_buffer.getLength(); }

private:
    CIPByteBuffer m_buffer;
    std::uint64_t m_skipped = 0;
    std::uint64_t m_badHeaders = 0;
};

} // namespace kavra::tool
