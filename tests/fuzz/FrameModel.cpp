#include "FrameModel.h"

#include <cstdio>
#include <cstdlib>

namespace kavra::fuzz {

namespace {

std::int32_t BigEndianLength(const unsigned char* p) {
    const std::uint32_t v =
        (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
        (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
    return static_cast<std::int32_t>(v);
}

// A length whose body is read: delivered, or dropped when too long.
bool ReadsBody(std::int32_t length) {
    return length > 0 && length <= kMaxDiscard;
}

// Whether the known bytes field[0, known) of a length field, completed in
// any way, can make a body length the reader delivers. The completions
// cover one range of unsigned values: from zeros filled in to 0xFF filled in.
bool CanDeliver(const unsigned char* field, std::size_t known) {
    std::uint32_t least = 0;
    std::uint32_t most = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        least = (least << 8) | (i < known ? field[i] : 0x00U);
        most = (most << 8) | (i < known ? field[i] : 0xFFU);
    }
    return least <= static_cast<std::uint32_t>(kMaxBody) && most >= 1;
}

// The 0xFF bytes from stream[at] on.
std::size_t RunFrom(const unsigned char* stream, std::size_t n, std::size_t at) {
    std::size_t run = 0;
    while (at + run < n && stream[at + run] == 0xFF) {
        ++run;
    }
    return run;
}

void TakeBody(FrameModelResult& result, const unsigned char* body, std::size_t length) {
    if (length > static_cast<std::size_t>(kMaxBody)) {
        ++result.oversize;
        return;
    }
    result.bodies.emplace_back(body, body + length);
}

} // namespace

std::size_t NaiveSyncStart(const unsigned char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t end = i + kSyncLength < n ? i + kSyncLength : n;
        bool allSync = true;
        for (std::size_t k = i; k < end; ++k) {
            if (bytes[k] != 0xFF) {
                allSync = false;
                break;
            }
        }
        if (allSync) {
            return i;
        }
    }
    return n;
}

FrameModelResult ExtractWithWindow(const unsigned char* stream, std::size_t n) {
    FrameModelResult result;
    std::size_t pos = 0;
    for (;;) {
        if (n - pos < kHeaderLength) {
            return result;
        }
        Bytes window(stream + pos, stream + pos + kHeaderLength);
        pos += kHeaderLength;
        for (;;) {
            const std::size_t drop = NaiveSyncStart(window.data(), window.size());
            if (drop == 0) {
                break;
            }
            result.resyncBytes += drop;
            if (n - pos < drop) {
                return result;
            }
            window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(drop));
            window.insert(window.end(), stream + pos, stream + pos + drop);
            pos += drop;
        }
        std::int32_t length = BigEndianLength(window.data() + kSyncLength);
        // The window is stream[pos - 14, pos). At the front of a longer run
        // of 0xFF the header on the run's last ten 0xFF may be the real one;
        // the reader looks no further when the window itself rules that out.
        const std::size_t start = pos - kHeaderLength;
        const std::size_t run = RunFrom(stream, n, start);
        if (run > kSyncLength) {
            const std::size_t inWindow = run < kHeaderLength ? kHeaderLength - run : 0;
            if (inWindow == 0 || CanDeliver(stream + start + run, inWindow)) {
                if (n - start < run + 4) {
                    return result;
                }
                const std::int32_t aligned = BigEndianLength(stream + start + run);
                if (aligned >= 1 && aligned <= kMaxBody) {
                    result.resyncBytes += run - kSyncLength;
                    length = aligned;
                    pos = start + run + 4;
                }
            }
        }
        if (!ReadsBody(length)) {
            ++result.badHeaders;
            continue;
        }
        const auto bodyLength = static_cast<std::size_t>(length);
        if (n - pos < bodyLength) {
            return result;
        }
        TakeBody(result, stream + pos, bodyLength);
        pos += bodyLength;
    }
}

FrameModelResult ExtractFromStream(const unsigned char* stream, std::size_t n) {
    FrameModelResult result;
    std::size_t pos = 0;
    for (;;) {
        std::size_t mark = pos;
        std::size_t run = 0;
        while (mark + run < n && run < kSyncLength) {
            if (stream[mark + run] == 0xFF) {
                ++run;
            } else {
                mark += run + 1;
                run = 0;
            }
        }
        if (run < kSyncLength || n - mark < kHeaderLength) {
            return result;
        }
        pos = mark + kHeaderLength;
        std::int32_t length = BigEndianLength(stream + mark + kSyncLength);
        const std::size_t whole = RunFrom(stream, n, mark);
        if (whole > kSyncLength) {
            const std::size_t inHeader = whole < kHeaderLength ? kHeaderLength - whole : 0;
            if (inHeader == 0 || CanDeliver(stream + mark + whole, inHeader)) {
                if (n - mark < whole + 4) {
                    return result;
                }
                const std::int32_t aligned = BigEndianLength(stream + mark + whole);
                if (aligned >= 1 && aligned <= kMaxBody) {
                    length = aligned;
                    pos = mark + whole + 4;
                }
            }
        }
        if (!ReadsBody(length)) {
            ++result.badHeaders;
            continue;
        }
        const auto bodyLength = static_cast<std::size_t>(length);
        if (n - pos < bodyLength) {
            return result;
        }
        TakeBody(result, stream + pos, bodyLength);
        pos += bodyLength;
    }
}

Bytes EncodeFrames(const std::vector<Bytes>& bodies) {
    Bytes wire;
    for (const Bytes& body : bodies) {
        wire.insert(wire.end(), kSyncLength, 0xFF);
        const auto length = static_cast<std::uint32_t>(body.size());
        wire.push_back(static_cast<unsigned char>(length >> 24));
        wire.push_back(static_cast<unsigned char>(length >> 16));
        wire.push_back(static_cast<unsigned char>(length >> 8));
        wire.push_back(static_cast<unsigned char>(length));
        wire.insert(wire.end(), body.begin(), body.end());
    }
    return wire;
}

void Fail(const char* what) {
    std::fprintf(stderr, "MISMATCH: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void ExpectSame(const FrameModelResult& expected, const FrameModelResult& actual,
                bool compareResync, const char* what) {
    if (expected.bodies.size() != actual.bodies.size()) {
        std::fprintf(stderr, "%zu bodies expected, %zu found\n", expected.bodies.size(),
                     actual.bodies.size());
        Fail(what);
    }
    for (std::size_t i = 0; i < expected.bodies.size(); ++i) {
        if (expected.bodies[i] != actual.bodies[i]) {
            std::fprintf(stderr, "body %zu differs (%zu bytes expected, %zu found)\n", i,
                         expected.bodies[i].size(), actual.bodies[i].size());
            Fail(what);
        }
    }
    if (expected.oversize != actual.oversize) {
        std::fprintf(stderr, "%llu oversize frames expected, %llu found\n",
                     static_cast<unsigned long long>(expected.oversize),
                     static_cast<unsigned long long>(actual.oversize));
        Fail(what);
    }
    if (expected.badHeaders != actual.badHeaders) {
        std::fprintf(stderr, "%llu bad headers expected, %llu found\n",
                     static_cast<unsigned long long>(expected.badHeaders),
                     static_cast<unsigned long long>(actual.badHeaders));
        Fail(what);
    }
    if (compareResync && expected.resyncBytes != actual.resyncBytes) {
        std::fprintf(stderr, "%llu resync bytes expected, %llu found\n",
                     static_cast<unsigned long long>(expected.resyncBytes),
                     static_cast<unsigned long long>(actual.resyncBytes));
        Fail(what);
    }
}

} // namespace kavra::fuzz
