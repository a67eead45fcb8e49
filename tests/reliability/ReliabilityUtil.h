// Shared by the fault and load tests: whether the build runs under a
// sanitizer (whose allocators make memory figures meaningless), seeded
// garbage that never holds a sync mark, and numbered PDUs with the strict
// parse of what a peer received of them. The process's memory figures come
// from support/TestProcess.h.
#pragma once

#include "client/ClientTestUtil.h"
#include "support/TestProcess.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace kavra::test {

#if defined(KAVRA_SANITIZER_ADDRESS) || defined(KAVRA_SANITIZER_THREAD)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// size bytes of noise: mostly random bytes below 0xFF, with runs of one to
// nine 0xFF each followed by another byte, so the scan meets near-misses but
// never a whole sync mark. Neither the first nor the last byte is 0xFF, so
// the noise can neither extend a sync mark before it nor one after it.
inline Bytes Garbage(std::size_t size, std::mt19937& rng) {
    Bytes bytes;
    bytes.reserve(size + 10);
    std::uniform_int_distribution<int> plain(0, 0xFE);
    std::uniform_int_distribution<int> chance(0, 15);
    std::uniform_int_distribution<int> runLength(1, 9);
    while (bytes.size() < size) {
        if (!bytes.empty() && chance(rng) == 0) {
            bytes.insert(bytes.end(), static_cast<std::size_t>(runLength(rng)), 0xFF);
        }
        bytes.push_back(static_cast<unsigned char>(plain(rng)));
    }
    bytes.resize(size);
    if (!bytes.empty() && bytes.back() == 0xFF) {
        bytes.back() = 0x00;
    }
    return bytes;
}

// Numbered PDUs: what a peer must see of them, and the send-side sum.
// A body that names its PDU in its first four bytes.
inline Bytes Numbered(std::uint32_t number, std::size_t size) {
    Bytes body = Pattern(size, number);
    for (std::size_t i = 0; i < 4 && i < size; ++i) {
        body[i] = static_cast<unsigned char>(number >> (24 - 8 * i));
    }
    return body;
}

inline constexpr auto kHeader = static_cast<std::size_t>(KavraHeader::HEADER_LENGTH);

inline std::size_t SizeOf(std::uint32_t number) {
    return number % 3 == 2 ? 4 + number % 200 : KavraClientThread::MAX_PDU_LENGTH;
}

// Parses one connection's bytes strictly: frame after frame, each the next
// numbered PDU or a later one. Only a connection the client closed may end
// inside a frame. Returns how many frames it held.
inline ::testing::AssertionResult ParseConnection(const Bytes& wire, bool mayEndTorn,
                                           std::int64_t& lastNumber, std::size_t& frames) {
    std::size_t pos = 0;
    while (pos < wire.size()) {
        if (wire.size() - pos < kHeader) {
            break;
        }
        const Bytes header(wire.begin() + static_cast<std::ptrdiff_t>(pos),
                           wire.begin() + static_cast<std::ptrdiff_t>(pos + kHeader));
        const auto length = static_cast<std::uint32_t>(KavraHeader::DecodeBodyLength(header.data()));
        if (header != HeaderBytes(length) || length < 4 ||
            length > KavraClientThread::MAX_PDU_LENGTH) {
            return ::testing::AssertionFailure() << "no frame header at byte " << pos;
        }
        if (wire.size() - pos - kHeader < length) {
            break;
        }
        const Bytes body(wire.begin() + static_cast<std::ptrdiff_t>(pos + kHeader),
                         wire.begin() + static_cast<std::ptrdiff_t>(pos + kHeader + length));
        const std::uint32_t number = ReadBigEndian(body.data());
        if (static_cast<std::int64_t>(number) <= lastNumber || body != Numbered(number, SizeOf(number))) {
            return ::testing::AssertionFailure()
                   << "frame at byte " << pos << " is not the whole body of a later PDU";
        }
        lastNumber = number;
        ++frames;
        pos += kHeader + length;
    }
    if (pos != wire.size() && !mayEndTorn) {
        return ::testing::AssertionFailure() << "an open connection ends inside a frame";
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult SendAccountingHolds(const ConnectionStats& s) {
    if (s.pdusAccepted == s.framesSent + s.SendDropped() + s.sendQueued + s.sendBuffered) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << s.pdusAccepted << " accepted != " << s.framesSent << " sent + " << s.SendDropped()
           << " dropped + " << s.sendQueued << " queued + " << s.sendBuffered << " buffered";
}

} // namespace kavra::test
