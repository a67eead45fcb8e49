#include "kavra/SyncRun.h"

#include <algorithm>

namespace kavra {

namespace {

constexpr int kSync = KavraHeader::SYNC_MARK_LENGTH;
constexpr int kHeader = KavraHeader::HEADER_LENGTH;

// Whether length bytes field[0, known) can still begin a length of 1 to
// MAX_BODY_LENGTH; with all four known, whether they make one.
bool CanBeValid(const unsigned char* field, int known) {
    constexpr int max = KavraHeader::MAX_BODY_LENGTH;
    if (field[0] != 0 || (known > 1 && field[1] != 0) || (known > 2 && field[2] > (max >> 8))) {
        return false;
    }
    if (known < 4) {
        return true;
    }
    const int length = (field[2] << 8) | field[3];
    return length >= 1 && length <= max;
}

} // namespace

void SyncRun::Start(const unsigned char* window) {
    *this = SyncRun{};
    if (window[kSync] != KavraHeader::SYNC_BYTE) {
        m_decided = true;
        return;
    }
    int run = kSync + 1;
    while (run < kHeader && window[run] == KavraHeader::SYNC_BYTE) {
        ++run;
    }
    m_run = static_cast<std::uint64_t>(run);
    m_fieldKnown = kHeader - run;
    std::copy(window + run, window + kHeader, m_field);
    // Only a run that ends inside the window is given up on early: a longer
    // one is read to its field, no further than the next window would reach.
    if (m_fieldKnown > 0 && !CanBeValid(m_field, m_fieldKnown)) {
        m_decided = true;
    }
}

int SyncRun::Wanted() const {
    return m_decided ? 0 : kFieldLength - m_fieldKnown;
}

void SyncRun::Take(const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (m_fieldKnown == 0 && bytes[i] == KavraHeader::SYNC_BYTE) {
            ++m_run;
        } else {
            m_field[m_fieldKnown++] = bytes[i];
        }
    }
    if (m_fieldKnown == kFieldLength) {
        decide();
    }
}

void SyncRun::decide() {
    m_decided = true;
    m_aligned = CanBeValid(m_field, kFieldLength);
}

int SyncRun::AlignedLength() const {
    return (m_field[2] << 8) | m_field[3];
}

std::uint64_t SyncRun::FurtherBadHeaders() const {
    // Windows every HEADER_LENGTH bytes behind the front one, while more than
    // ten 0xFF remain in front of the run's end.
    constexpr auto longer = static_cast<std::uint64_t>(kSync + 1);
    return m_run >= longer ? (m_run - longer) / kHeader : 0;
}

int SyncRun::Replay(unsigned char* out) const {
    // The next window starts behind the last bad header; the bytes taken
    // from there on are the rest of the run and the field.
    const std::uint64_t next = (FurtherBadHeaders() + 1) * kHeader;
    const std::uint64_t seen = m_run + static_cast<std::uint64_t>(m_fieldKnown);
    int count = 0;
    for (std::uint64_t at = next; at < seen; ++at) {
        out[count++] = at < m_run ? KavraHeader::SYNC_BYTE : m_field[at - m_run];
    }
    return count;
}

} // namespace kavra
