#include "kavra/FrameDecoder.h"

#include "kavra/SyncRun.h"

#include <algorithm>
#include <cstring>

namespace kavra {

namespace {

constexpr auto kHeaderLength = static_cast<std::size_t>(KavraHeader::HEADER_LENGTH);

} // namespace

FrameDecoder::FrameDecoder() {
    m_body.reserve(static_cast<std::size_t>(KavraHeader::MAX_BODY_LENGTH));
}

std::size_t FrameDecoder::Feed(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t used = 0;
    while (used < size && m_state != State::Ready) {
        switch (m_state) {
        case State::Header:
            used += fillHeader(bytes + used, size - used);
            break;
        case State::Run:
            used += takeRun(bytes + used, size - used);
            break;
        case State::Body:
            used += fillBody(bytes + used, size - used);
            break;
        case State::Skip:
            used += skipBody(size - used);
            break;
        case State::Ready:
            break;
        }
    }
    return used;
}

std::size_t FrameDecoder::fillHeader(const unsigned char* bytes, std::size_t size) {
    const std::size_t taken = std::min(size, kHeaderLength - m_headerFill);
    std::memcpy(m_header + m_headerFill, bytes, taken);
    m_headerFill += taken;
    if (m_headerFill == kHeaderLength) {
        scanWindow();
    }
    return taken;
}

void FrameDecoder::scanWindow() {
    // Scanned only as a whole window, as the receive path scans it, so that
    // both drop the same bytes at the same moments and a stream that ends
    // mid-window leaves the same counts.
    const unsigned int dropped =
        KavraHeader::FindSyncStart(m_header, KavraHeader::HEADER_LENGTH);
    if (dropped > 0) {
        std::memmove(m_header, m_header + dropped, kHeaderLength - dropped);
        m_headerFill = kHeaderLength - dropped;
        m_counters.skippedBytes += dropped;
        return;
    }
    m_run.Start(m_header);
    if (m_run.Decided()) {
        endRun();
    } else {
        m_state = State::Run;
    }
}

std::size_t FrameDecoder::takeRun(const unsigned char* bytes, std::size_t size) {
    const int taken = static_cast<int>(std::min(size, static_cast<std::size_t>(m_run.Wanted())));
    m_run.Take(bytes, taken);
    if (m_run.Decided()) {
        m_state = State::Header;
        endRun();
    }
    return static_cast<std::size_t>(taken);
}

void FrameDecoder::endRun() {
    if (m_run.Aligned()) {
        m_counters.skippedBytes += m_run.Dropped();
        KavraHeader::EncodeHeader(m_run.AlignedLength(), m_header);
        onHeader();
        return;
    }
    onHeader();
    m_counters.badHeaders += m_run.FurtherBadHeaders();
    m_headerFill = static_cast<std::size_t>(m_run.Replay(m_header));
    if (m_headerFill == kHeaderLength) {
        scanWindow();
    }
}

void FrameDecoder::onHeader() {
    const int bodyLength = KavraHeader::DecodeBodyLength(m_header);
    m_headerFill = 0;
    switch (KavraHeader::ActionForLength(bodyLength)) {
    case KavraHeader::BodyAction::Empty:
    case KavraHeader::BodyAction::Garbage:
        ++m_counters.badHeaders;
        return;
    case KavraHeader::BodyAction::Discard:
        m_skipLeft = static_cast<std::size_t>(bodyLength);
        m_state = State::Skip;
        return;
    case KavraHeader::BodyAction::Deliver:
        m_bodyLength = static_cast<std::size_t>(bodyLength);
        m_state = State::Body;
        return;
    }
}

std::size_t FrameDecoder::fillBody(const unsigned char* bytes, std::size_t size) {
    const std::size_t taken = std::min(size, m_bodyLength - m_body.size());
    m_body.insert(m_body.end(), bytes, bytes + taken);
    if (m_body.size() == m_bodyLength) {
        ++m_counters.frames;
        m_state = State::Ready;
    }
    return taken;
}

std::size_t FrameDecoder::skipBody(std::size_t size) {
    const std::size_t taken = std::min(size, m_skipLeft);
    m_skipLeft -= taken;
    if (m_skipLeft == 0) {
        ++m_counters.oversizeDiscarded;
        m_state = State::Header;
    }
    return taken;
}

bool FrameDecoder::HasFrame() const {
    return m_state == State::Ready;
}

bool FrameDecoder::Next(std::vector<unsigned char>& body) {
    if (m_state != State::Ready) {
        return false;
    }
    body.assign(m_body.begin(), m_body.end());
    m_body.clear();
    m_state = State::Header;
    return true;
}

const FrameDecoder::Counters& FrameDecoder::GetCounters() const {
    return m_counters;
}

std::size_t FrameDecoder::Buffered() const {
    return m_headerFill + m_body.size();
}

void FrameDecoder::Reset() {
    m_state = State::Header;
    m_headerFill = 0;
    m_run = SyncRun{};
    m_body.clear();
    m_bodyLength = 0;
    m_skipLeft = 0;
    m_counters = Counters{};
}

} // namespace kavra
