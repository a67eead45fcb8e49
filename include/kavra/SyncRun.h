#pragma once

#include "kavra/Export.h"
#include "kavra/KavraHeader.h"

#include <cstdint>

namespace kavra {

/**
 * The header hidden in a run of more than ten 0xFF: 0xFF padding, or
 * garbage that ends in 0xFF, in front of a frame. A header window that
 * starts at the front of such a run takes its first ten 0xFF as the sync
 * mark, so its length field begins with 0xFF and is negative. A valid length
 * (1 to MAX_BODY_LENGTH) begins 00 00, so in the run only the header aligned
 * on its last ten 0xFF can carry one.
 *
 * The rule, shared by the receive path and FrameDecoder: when the header
 * aligned on the run's last ten 0xFF has a valid length, it is the header
 * and the bytes in front of it are resynchronisation bytes. Otherwise the
 * stream reads exactly as it would without the rule: the header at the front
 * of the run is a bad header, and so is every further header window that
 * falls inside the run, and the bytes read to decide begin the next window.
 *
 * Deciding reads no further than the next header windows would have: to the
 * aligned header's length field. Bytes of the run are counted, not stored.
 *
 * Use: Start on a window that begins with a sync mark; while not Decided,
 * read Wanted() bytes (or fewer) from the stream and Take them. Then either
 * the aligned header replaces the window, or the window's header is read as
 * usual, FurtherBadHeaders are counted, and Replay begins the next window.
 *
 * Not thread-safe: one reader at a time.
 */
class KAVRA_API SyncRun {
public:
    /// Most bytes Replay gives.
    static constexpr int MAX_REPLAY = KavraHeader::HEADER_LENGTH;

    /// Looks at window[0, HEADER_LENGTH), which begins with a sync mark.
    /// Decided at once when the window is not at the front of a longer run,
    /// or when its own bytes rule a valid aligned header out.
    void Start(const unsigned char* window);
    /// Whether the choice is made.
    bool Decided() const { return m_decided; }
    /// Bytes to read before the choice can be made; 0 once Decided.
    int Wanted() const;
    /// Takes bytes read from the stream behind what was seen; count is at
    /// most Wanted().
    void Take(const unsigned char* bytes, int count);

    /// Decided: whether the aligned header is the header. Its bytes are a
    /// sync mark and AlignedLength().
    bool Aligned() const { return m_aligned; }
    /// Aligned: the body length of the aligned header.
    int AlignedLength() const;
    /// Aligned: the bytes in front of the aligned header.
    std::uint64_t Dropped() const { return m_run - KavraHeader::SYNC_MARK_LENGTH; }
    /// Not aligned: the bad headers inside the run behind the one at the
    /// front (which the caller handles as any header).
    std::uint64_t FurtherBadHeaders() const;
    /// Not aligned: copies the bytes taken that begin the next header window
    /// to out (room for MAX_REPLAY) and returns their count.
    int Replay(unsigned char* out) const;

private:
    static constexpr int kFieldLength =
        KavraHeader::HEADER_LENGTH - KavraHeader::SYNC_MARK_LENGTH;

    void decide();

    // 0xFF bytes from the front of the window to the end of the run.
    std::uint64_t m_run = 0;
    // The bytes behind the run: the aligned header's length field.
    unsigned char m_field[kFieldLength] = {};
    int m_fieldKnown = 0;
    bool m_decided = false;
    bool m_aligned = false;
};

} // namespace kavra
