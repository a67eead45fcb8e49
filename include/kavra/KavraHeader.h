#pragma once

#include <cstddef>

#include "kavra/Export.h"
#include "kavra/base/CPDUHeader.h"

class CIPByteBuffer;

/**
 * The frame header and the scan that finds the next frame after garbage.
 *
 * Wire frame:
 * @verbatim
 *   offset 0   10 bytes  sync mark, every byte 0xFF
 *   offset 10   4 bytes  body length, signed, big-endian
 *   offset 14            the body, unchanged
 * @endverbatim
 *
 * Of the header's four fields only the command length (the body length)
 * travels. Not thread-safe: one thread at a time.
 *
 * Objects made with new come from a pool shared by all threads: the send
 * path makes and drops one per frame.
 */
class KAVRA_API KavraHeader : public CPDUHeader {
public:
    ///@{
    /// Objects from the shared pool (a larger derived class gets its memory
    /// from the global allocator); placement stays possible.
    static void* operator new(std::size_t size);
    static void operator delete(void* header, std::size_t size) noexcept;
    static void* operator new(std::size_t size, void* where) noexcept;
    static void operator delete(void* header, void* where) noexcept;
    ///@}

    static constexpr int SYNC_MARK_LENGTH = 10;    ///< Bytes of the sync mark.
    static constexpr int HEADER_LENGTH = 14;       ///< Bytes of the whole header.
    static constexpr unsigned char SYNC_BYTE = 0xFF; ///< Every byte of the sync mark.
    /// The largest body a sender writes and a receiver delivers.
    static constexpr int MAX_BODY_LENGTH = 8812;
    /// The largest body a receiver reads in order to discard it. A longer
    /// length is no frame a sender could have meant: the header is garbage.
    static constexpr int MAX_DISCARD_LENGTH = 1 << 20;

    /// What a receiver does with the body length of a header.
    enum class BodyAction {
        /// 0 or negative; no body follows, nothing is delivered.
        Empty,
        /// 1..MAX_BODY_LENGTH; read the body and deliver it.
        Deliver,
        /// Up to MAX_DISCARD_LENGTH; read the body in pieces of bounded size
        /// and drop it. Skipping the header instead would scan the body for
        /// sync marks and deliver frames the peer never sent.
        Discard,
        /// Longer still; read no body and look for the next sync mark.
        Garbage,
    };
    /// The BodyAction for a header announcing bodyLength bytes.
    static BodyAction ActionForLength(int bodyLength);

    /// A header with a body length of 0 and its sync mark set.
    KavraHeader();
    ///@{
    /// Copies the four fields and the sync mark.
    KavraHeader(const KavraHeader& other);
    KavraHeader& operator=(const KavraHeader& other);
    ///@}
    ~KavraHeader() override;

    /// Takes 14 bytes off the front of in: the sync mark (not examined; see
    /// ValidateBuffer) and the body length, stored as the command length.
    /// Returns 1.
    int setData(CIPByteBuffer& in) override;
    /// Appends the sync mark and getCommandLength() to out. Returns 1.
    int getData(CIPByteBuffer& out) override;

    /// Finds where a sync mark may start in buf: the first position from which
    /// every byte up to the tenth, or up to the end of buf, is 0xFF. Drops the
    /// bytes before it and appends as many zero bytes, so buf keeps its length
    /// and the caller refills the tail from the stream. Returns the number of
    /// bytes dropped (0: buf already starts with a possible sync mark). One
    /// forward pass; never reads beyond buf's length.
    unsigned int ValidateBuffer(CIPByteBuffer& buf);

    /// The same scan without touching a buffer: the position where a sync
    /// mark may start in bytes[0, length), or length when there is none.
    static unsigned int FindSyncStart(const unsigned char* bytes, int length);

    /// Writes the HEADER_LENGTH bytes of a frame header to out: the sync
    /// mark, then bodyLength big-endian. The bytes getData appends for a
    /// header whose command length is bodyLength; for peers and tools that
    /// frame bytes without a byte buffer.
    static void EncodeHeader(int bodyLength, unsigned char* out);
    /// The body length carried by the HEADER_LENGTH header bytes at header
    /// (bytes 10 to 13, big-endian, signed). The sync mark is not examined.
    static int DecodeBodyLength(const unsigned char* header);

private:
    unsigned char m_sync[SYNC_MARK_LENGTH];
};
