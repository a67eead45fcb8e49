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
};

} // namespace kavra
