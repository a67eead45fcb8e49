#pragma once

#include "kavra/Export.h"
#include "kavra/KavraHeader.h"
#include "kavra/SyncRun.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavra {

/**
 * Cuts frames out of a byte stream that arrives in pieces of any size, by
 * the rules of KavraClientThread's receive path, and does no I/O: the caller
 * reads its socket (or file, or pipe) itself and pushes what it read.
 *
 * Model: the decoder reads a KavraHeader::HEADER_LENGTH byte window. While
 * the window does not start with a possible sync mark, it drops the bytes in
 * front of the first possible start (KavraHeader::FindSyncStart) and waits
 * for as many again. The window's body length then decides, through
 * KavraHeader::ActionForLength:
 * - 0 or negative, or longer than KavraHeader::MAX_DISCARD_LENGTH: a bad
 *   header; its 14 bytes are dropped and the next window starts behind them.
 * - 1 to KavraHeader::MAX_BODY_LENGTH: the body is collected, and once whole
 *   the frame waits to be taken with Next.
 * - In between: the body is skipped unstored, so that the stream stays in
 *   step, and counted as oversize.
 *
 * A window at the front of a run of more than ten 0xFF (padding, or garbage
 * that ends in 0xFF) gives way to the header aligned on the run's last ten
 * 0xFF when that one has a length of 1 to KavraHeader::MAX_BODY_LENGTH; the
 * bytes in front of it count as skipped (see SyncRun).
 *
 * Fed the same bytes, the decoder finds the same frames in the same order as
 * the receive path, and its Counters match the receive path's
 * ConnectionStats: skippedBytes the resynchronisation bytes, badHeaders the
 * bad headers, oversizeDiscarded the oversize frames, and frames the frames
 * the receive path queued or dropped for a full queue.
 *
 * Memory is bounded whatever the input: the decoder holds one header window
 * and at most one body of up to KavraHeader::MAX_BODY_LENGTH bytes. Feed
 * consumes bytes only up to the end of the next whole frame and then takes
 * nothing more until that frame has been taken out.
 *
 * Not thread-safe: one thread at a time.
 */
class KAVRA_API FrameDecoder {
public:
    /// What the decoder has seen since construction or Reset.
    struct Counters {
        /// Bytes dropped in front of a possible sync mark.
        std::uint64_t skippedBytes = 0;
        /// Headers whose length was 0, negative or beyond
        /// KavraHeader::MAX_DISCARD_LENGTH.
        std::uint64_t badHeaders = 0;
        /// Frames longer than KavraHeader::MAX_BODY_LENGTH whose body was
        /// skipped whole.
        std::uint64_t oversizeDiscarded = 0;
        /// Frames whose body became whole and was offered to Next.
        std::uint64_t frames = 0;
    };

    /// A decoder at the start of a stream.
    FrameDecoder();

    /// Consumes bytes from data[0, size). Returns how many it consumed: all
    /// of them, unless a frame became whole first, in which case it stops
    /// right behind that frame's last byte; take the frame with Next and feed
    /// the rest again. Consumes nothing while a whole frame waits.
    std::size_t Feed(const void* data, std::size_t size);

    /// True while a whole frame waits to be taken with Next.
    bool HasFrame() const;

    /// Replaces the content of body with the waiting frame's body and makes
    /// room for the next frame. Returns false, body untouched, when no whole
    /// frame waits.
    bool Next(std::vector<unsigned char>& body);

    /// The counters since construction or the last Reset.
    const Counters& GetCounters() const;

    /// Bytes held: a partial header window, a partial or waiting body. Never
    /// more than KavraHeader::HEADER_LENGTH + KavraHeader::MAX_BODY_LENGTH.
    std::size_t Buffered() const;

    /// Forgets everything held and every counter: the next byte fed is the
    /// start of a new stream (a new connection).
    void Reset();

private:
    enum class State { Header, Run, Body, Skip, Ready };

    std::size_t fillHeader(const unsigned char* bytes, std::size_t size);
    // A whole window: resynchronises, or starts on the header.
    void scanWindow();
    // Bytes behind a window at the front of a longer run of 0xFF.
    std::size_t takeRun(const unsigned char* bytes, std::size_t size);
    // The run's choice made: the aligned header, or the window's own.
    void endRun();
    std::size_t fillBody(const unsigned char* bytes, std::size_t size);
    std::size_t skipBody(std::size_t size);
    void onHeader();

    State m_state = State::Header;
    unsigned char m_header[KavraHeader::HEADER_LENGTH] = {};
    std::size_t m_headerFill = 0;
    SyncRun m_run;
    std::vector<unsigned char> m_body;
    std::size_t m_bodyLength = 0;
    std::size_t m_skipLeft = 0;
    Counters m_counters;
};

} // namespace kavra
