// The resynchronisation scan and header parse, driven over the input as a
// byte stream exactly as the client's receive path drives them on a socket,
// and held against two reference models of frame extraction.

#include "FrameModel.h"

#include <kavra/KavraHeader.h>
#include <kavra/KavraPDU.h>
#include <kavra/SyncRun.h>
#include <kavra/base/CIPByteBuffer.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using kavra::fuzz::Bytes;
using kavra::fuzz::Fail;
using kavra::fuzz::FrameModelResult;

// A stream in memory that reads like the socket: exactly n bytes, or fewer
// once the end is reached.
class MemoryStream {
public:
    MemoryStream(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}

    int Read(unsigned char* dst, int n) {
        const std::size_t wanted = n > 0 ? static_cast<std::size_t>(n) : 0;
        const std::size_t count = std::min(wanted, m_size - m_pos);
        if (count > 0) {
            std::memcpy(dst, m_data + m_pos, count);
        }
        m_pos += count;
        return static_cast<int>(count);
    }

    // Passes over n bytes; false when the stream ends first.
    bool Skip(int n) {
        const auto wanted = static_cast<std::size_t>(n);
        if (m_size - m_pos < wanted) {
            m_pos = m_size;
            return false;
        }
        m_pos += wanted;
        return true;
    }

private:
    const unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// ValidateBuffer keeps the length, drops exactly what FindSyncStart names,
// shifts the rest to the front and zeroes the freed tail.
unsigned int CheckedValidate(KavraHeader& header, CIPByteBuffer& buffer) {
    const unsigned char* front = buffer.getBuffer();
    const Bytes before(front, front + buffer.getLength());
    const unsigned int expected =
        KavraHeader::FindSyncStart(before.data(), static_cast<int>(before.size()));
    const unsigned int dropped = header.ValidateBuffer(buffer);
    if (dropped != expected) {
        Fail("ValidateBuffer dropped another count than FindSyncStart names");
    }
    if (buffer.getLength() != before.size()) {
        Fail("ValidateBuffer changed the buffer length");
    }
    const unsigned char* after = buffer.getBuffer();
    const std::size_t kept = before.size() - dropped;
    if (!std::equal(after, after + kept, before.data() + dropped)) {
        Fail("ValidateBuffer did not keep the bytes behind the dropped ones");
    }
    if (std::any_of(after + kept, after + before.size(), [](unsigned char b) { return b != 0; })) {
        Fail("ValidateBuffer left a tail that is not zero");
    }
    return dropped;
}

// A header at the front of a longer run of 0xFF, as the receive path treats
// it: replaced by the header on the run's last ten 0xFF, or kept with the
// bytes read to decide left in ahead. False when the stream ended first.
bool ReadRun(MemoryStream& stream, CIPByteBuffer& headerBuffer, Bytes& ahead,
             FrameModelResult& result) {
    kavra::SyncRun run;
    run.Start(headerBuffer.getBuffer());
    while (!run.Decided()) {
        unsigned char more[KavraHeader::HEADER_LENGTH];
        const int wanted = run.Wanted();
        if (wanted < 1 || wanted > 4) {
            Fail("SyncRun asks for more than the length field behind the run");
        }
        if (stream.Read(more, wanted) != wanted) {
            return false;
        }
        run.Take(more, wanted);
    }
    if (run.Aligned()) {
        result.resyncBytes += run.Dropped();
        KavraHeader::EncodeHeader(run.AlignedLength(), headerBuffer.getBuffer());
        return true;
    }
    result.badHeaders += run.FurtherBadHeaders();
    unsigned char replay[kavra::SyncRun::MAX_REPLAY];
    const int count = run.Replay(replay);
    ahead.assign(replay, replay + count);
    return true;
}

// The receive loop of the client thread, on a MemoryStream: read the header,
// refill the tail the scan frees until the window starts with a sync mark,
// parse the length, skip a bad header, read the body.
FrameModelResult ReadFrames(const unsigned char* data, std::size_t size) {
    FrameModelResult result;
    MemoryStream stream(data, size);
    KavraHeader header;
    CIPByteBuffer headerBuffer;
    CIPByteBuffer bodyBuffer;
    // Bytes read behind a run of 0xFF that begin the next header.
    Bytes ahead;
    for (;;) {
        headerBuffer.empty();
        bodyBuffer.empty();
        header.getData(headerBuffer);
        const int headerLength = static_cast<int>(headerBuffer.getLength());
        if (headerLength != KavraHeader::HEADER_LENGTH) {
            Fail("header template has the wrong length");
        }
        std::copy(ahead.begin(), ahead.end(), headerBuffer.getBuffer());
        int missing = headerLength - static_cast<int>(ahead.size());
        ahead.clear();
        do {
            unsigned char* tail = headerBuffer.getBuffer() + (headerLength - missing);
            if (stream.Read(tail, missing) != missing) {
                return result;
            }
            missing = static_cast<int>(CheckedValidate(header, headerBuffer));
            result.resyncBytes += static_cast<unsigned int>(missing);
        } while (missing > 0);
        if (!ReadRun(stream, headerBuffer, ahead, result)) {
            return result;
        }
        header.setData(headerBuffer);
        if (headerBuffer.getLength() != 0) {
            Fail("setData left header bytes behind");
        }
        const int bodyLength = header.getCommandLength();
        const KavraHeader::BodyAction action = KavraHeader::ActionForLength(bodyLength);
        if (action == KavraHeader::BodyAction::Empty ||
            action == KavraHeader::BodyAction::Garbage) {
            ++result.badHeaders;
            continue;
        }
        if (action == KavraHeader::BodyAction::Discard) {
            if (!stream.Skip(bodyLength)) {
                return result;
            }
            ++result.oversize;
            continue;
        }
        bodyBuffer.appendString(nullptr, bodyLength);
        if (stream.Read(bodyBuffer.getBuffer(), bodyLength) != bodyLength) {
            return result;
        }
        KavraPDU pdu;
        pdu.setBody(bodyBuffer);
        if (bodyBuffer.getLength() != 0 ||
            pdu.getBufSize() != static_cast<unsigned int>(bodyLength)) {
            Fail("setBody did not take the whole body");
        }
        const auto* body = static_cast<const unsigned char*>(pdu.getBufAddr());
        result.bodies.emplace_back(body, body + bodyLength);
    }
}

// FindSyncStart against the brute-force scan on the whole input and on
// windows at the front of it: the header's 14 bytes and the shorter ones a
// refill sees at the end of a stream. The front is enough: the windows are
// small and the fuzzer moves any pattern there.
void CheckFindSyncStart(const unsigned char* data, std::size_t size) {
    auto check = [](const unsigned char* bytes, std::size_t n) {
        const unsigned int found = KavraHeader::FindSyncStart(bytes, static_cast<int>(n));
        if (found != kavra::fuzz::NaiveSyncStart(bytes, n)) {
            Fail("FindSyncStart disagrees with the brute-force scan");
        }
    };
    check(data, size);
    constexpr std::size_t kWindowOffsets = 256;
    for (std::size_t offset = 0; offset < std::min(size, kWindowOffsets); ++offset) {
        const std::size_t left = size - offset;
        check(data + offset, std::min<std::size_t>(left, KavraHeader::HEADER_LENGTH));
        check(data + offset, std::min<std::size_t>(left, 1 + offset % 23));
    }
    if (KavraHeader::FindSyncStart(nullptr, 5) != 0 || KavraHeader::FindSyncStart(data, 0) != 0 ||
        KavraHeader::FindSyncStart(data, -1) != 0) {
        Fail("FindSyncStart on no bytes must return 0");
    }
}

// Frames written by KavraPDU for the bodies found must read back as exactly
// those bodies, with nothing skipped.
void CheckRoundTrip(const FrameModelResult& found) {
    CIPByteBuffer wire;
    for (const Bytes& body : found.bodies) {
        Bytes copy(body);
        DATABUFFER lent{copy.data(), static_cast<unsigned int>(copy.size())};
        KavraPDU pdu;
        pdu.setBuffer(lent);
        pdu.getData(wire);
    }
    const Bytes expectedWire = kavra::fuzz::EncodeFrames(found.bodies);
    if (wire.getLength() != expectedWire.size() ||
        !std::equal(expectedWire.begin(), expectedWire.end(), wire.getBuffer())) {
        Fail("KavraPDU wrote other frame bytes than the wire format says");
    }
    const FrameModelResult again = ReadFrames(expectedWire.data(), expectedWire.size());
    FrameModelResult expected;
    expected.bodies = found.bodies;
    kavra::fuzz::ExpectSame(expected, again, true, "re-framed bodies did not read back");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckFindSyncStart(data, size);

    const FrameModelResult actual = ReadFrames(data, size);
    kavra::fuzz::ExpectSame(kavra::fuzz::ExtractWithWindow(data, size), actual, true,
                            "reader differs from the window model");
    kavra::fuzz::ExpectSame(kavra::fuzz::ExtractFromStream(data, size), actual, false,
                            "reader differs from the whole-stream model");
    CheckRoundTrip(actual);
    return 0;
}
