// Reference models of frame extraction, written from the wire format alone
// and kept deliberately naive: they share no code with the library, so a
// fuzz target can hold the real reader against them.
//
// A reader takes frames off a byte stream in order. It reads a 14-byte header
// window; while the window does not start with a possible sync mark it drops
// the bytes in front of the first possible start and reads as many again into
// the tail. A header whose body length is 0, negative or above 8812 is
// garbage: it is counted and skipped, no body is read. Otherwise the body
// follows. The stream ends where a read comes up short.
//
// A header at the front of a run of more than ten 0xFF gives way to the
// header on the run's last ten 0xFF when that one's length is 1 to 8812;
// the bytes in front of it are resynchronisation bytes. Only when the bytes
// of the first header already rule that out does the reader decide without
// the length field behind the run.
//
// Not thread-safe: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavra::fuzz {

using Bytes = std::vector<unsigned char>;

struct FrameModelResult {
    std::vector<Bytes> bodies;
    std::uint64_t badHeaders = 0;
    // Frames too long to deliver, whose bodies were read and dropped.
    std::uint64_t oversize = 0;
    // Bytes dropped in front of possible sync marks, counted when dropped,
    // even if the refill that follows runs into the end of the stream.
    std::uint64_t resyncBytes = 0;
};

inline constexpr std::size_t kSyncLength = 10;
inline constexpr std::size_t kHeaderLength = 14;
inline constexpr std::int32_t kMaxBody = 8812;
// Longer bodies than kMaxBody, up to this, are read and dropped; longer
// lengths make the header garbage.
inline constexpr std::int32_t kMaxDiscard = 1 << 20;

// Tries every start: the smallest i from which every byte up to the tenth, or
// up to n, is 0xFF; n when there is none.
std::size_t NaiveSyncStart(const unsigned char* bytes, std::size_t n);

// The reader's own procedure on a 14-byte window, driven by NaiveSyncStart.
FrameModelResult ExtractWithWindow(const unsigned char* stream, std::size_t n);

// The same frames seen on the whole stream at once: each header sits at the
// first complete run of ten 0xFF at or after the current position, or on
// that run's last ten 0xFF as above. Fills
// bodies, badHeaders and oversize only.
FrameModelResult ExtractFromStream(const unsigned char* stream, std::size_t n);

// Frames the bodies back to back: ten 0xFF, the big-endian length, the body.
Bytes EncodeFrames(const std::vector<Bytes>& bodies);

// Prints what differs and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what);

// Aborts with what unless the two results carry the same bodies in the same
// order and the same counts (resyncBytes only when compareResync).
void ExpectSame(const FrameModelResult& expected, const FrameModelResult& actual,
                bool compareResync, const char* what);

} // namespace kavra::fuzz
