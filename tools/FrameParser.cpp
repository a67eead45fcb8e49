#include "FrameParser.h"

#include <kavra/KavraClientThread.h>
#include <kavra/KavraHeader.h>

namespace kavra::tool {

void FrameParser::Append(const void* bytes, std::size_t n) {
    m_buffer.appendBytes(bytes, static_cast<int>(n));
}

bool FrameParser::Next(std::vector<unsigned char>& body) {
    for (;;) {
        const int length = static_cast<int>(m_buffer.getLength());
        const unsigned int start = KavraHeader::FindSyncStart(m_buffer.getBuffer(), length);
        if (start > 0) {
            m_buffer.removeBytes0(static_cast<int>(start));
            m_skipped += start;
        }
        const unsigned int left = m_buffer.getLength();
        if (left < static_cast<unsigned int>(KavraHeader::HEADER_LENGTH)) {
            return false;
        }
        const unsigned char* header = m_buffer.getBuffer() + KavraHeader::SYNC_MARK_LENGTH;
        const auto bodyLength = static_cast<std::int32_t>(
            (static_cast<std::uint32_t>(header[0]) << 24) |
            (static_cast<std::uint32_t>(header[1]) << 16) |
            (static_cast<std::uint32_t>(header[2]) << 8) | static_cast<std::uint32_t>(header[3]));
        if (bodyLength <= 0 ||
            static_cast<unsigned int>(bodyLength) > KavraClientThread::MAX_PDU_LENGTH) {
            m_buffer.removeBytes0(KavraHeader::HEADER_LENGTH);
            ++m_badHeaders;
            continue;
        }
        const auto frameLength = static_cast<unsigned int>(KavraHeader::HEADER_LENGTH) +
                                 static_cast<unsigned int>(bodyLength);
        if (left < frameLength) {
            return false;
        }
        const unsigned char* first = m_buffer.getBuffer() + KavraHeader::HEADER_LENGTH;
        body.assign(first, first + bodyLength);
        m_buffer.removeBytes0(static_cast<int>(frameLength));
        return true;
    }
}

} // namespace kavra::tool
