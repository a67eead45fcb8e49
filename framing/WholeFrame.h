// A frame that lies whole and in step at the front of bytes already read, as
// the receive path finds it in the socket's read-ahead: recognised in place,
// its body copied once, straight into the PDU that will own it.
//
// Only the plainest case qualifies: ten 0xFF, a length of 1 to
// KavraHeader::MAX_BODY_LENGTH (so the byte behind the sync mark is 0 and no
// longer run of 0xFF is in question), and every body byte present. Anything
// else (garbage in front, a partial frame, an empty, negative or oversize
// length) is left to the reads that resynchronise, so both ways find the same
// frames and count the same.
//
// A received PDU that the library is done with may be filled again with the
// next body instead of being destroyed (client/PduRecycler.h).
//
// Thread rules: stateless; any thread.
#pragma once

#include <cstddef>

class KavraPDU;

namespace kavra {

class WholeFrame {
public:
    // The body length of the frame at bytes[0, count), or 0 when the bytes
    // do not start with a whole, in-step frame that the receive path
    // delivers.
    static int BodyLength(const unsigned char* bytes, std::size_t count);

    // Gives pdu, which holds no body, an owned copy of body[0, length): the
    // state setBody leaves. Throws std::bad_alloc, pdu then unchanged.
    static void CopyBody(KavraPDU& pdu, const unsigned char* body, int length);

    // Whether pdu can be filled again with Refill: exactly a KavraPDU, with
    // no header object, owning a body block of the small size class. What
    // Refill then leaves is what a new KavraPDU given CopyBody would be.
    static bool Refillable(const KavraPDU& pdu) noexcept;
    // Puts body[0, length), length at most PooledBytes::SMALL_BLOCK, into
    // the block of a Refillable pdu and clears its validity flags and type,
    // as a new PDU has them. The allocation watch sees the block allocated
    // again: whoever kept the PDU reported it released.
    static void Refill(KavraPDU& pdu, const unsigned char* body, int length) noexcept;
    // Destroys a Refillable pdu, body and object, without telling the
    // allocation watch: whoever kept it reported it released already.
    static void DestroyReported(KavraPDU* pdu) noexcept;
};

} // namespace kavra
