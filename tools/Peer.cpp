#include "Peer.h"

#include "Address.h"

#include <algorithm>
#include <chrono>
#include <kavra/FrameDecoder.h>
#include <kavra/KavraClientThread.h>
#include <kavra/KavraHeader.h>
#include <random>
#include <sstream>

namespace kavra::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Output waiting for a slow client beyond this stops reading from it, so an
// echo peer never buffers without bound.
constexpr std::size_t kOutputHighWater = 1u << 20;
constexpr std::size_t kReadChunk = 64u * 1024u;

void appendHeader(std::vector<unsigned char>& out, std::int32_t length) {
    unsigned char header[KavraHeader::HEADER_LENGTH];
    KavraHeader::EncodeHeader(length, header);
    out.insert(out.end(), header, header + KavraHeader::HEADER_LENGTH);
}

} // namespace

struct Peer::Connection {
    std::unique_ptr<PeerLink> link;
    std::uint64_t id = 0;
    std::string peer;
    FrameDecoder decoder;
    std::vector<unsigned char> out;
    std::size_t outSent = 0;
    std::mt19937_64 random;
    std::uint64_t framesIn = 0;
    std::uint64_t framesOut = 0;
    std::uint64_t sourceNumber = 0;
    Clock::time_point stallUntil{};
    Clock::time_point nextSource{};
    bool dropping = false;
    bool closed = false;

    std::size_t Pending() const { return out.size() - outSent; }
    bool Chance(double probability) {
        return probability > 0.0 &&
               std::uniform_real_distribution<double>(0.0, 1.0)(random) < probability;
    }
    unsigned int Between(unsigned int low, unsigned int high) {
        return std::uniform_int_distribution<unsigned int>(low, high)(random);
    }
};

Peer::Peer(const std::string& host, unsigned short port, PeerOptions options, Log log)
    : m_options(options), m_log(std::move(log)), m_socket(host, port) {
    if (!m_options.tlsCertFile.empty()) {
        m_tls = std::make_unique<TlsAcceptor>(m_options.tlsCertFile, m_options.tlsKeyFile,
                                              [this] { m_socket.Wake(); });
    }
}

Peer::~Peer() {
    Stop();
}

std::string Peer::Where() const {
    return Address::Format(m_socket.Host(), m_socket.Port());
}

void Peer::Start() {
    m_stop = false;
    m_thread = std::thread([this] { run(); });
}

void Peer::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    m_stop = true;
    m_socket.Wake();
    m_thread.join();
}

PeerStats Peer::Stats() const {
    std::lock_guard<std::mutex> lock(m_statsMutex);
    return m_stats;
}

std::string Peer::Summary() const {
    const PeerStats s = Stats();
    std::ostringstream out;
    out << "peer summary: " << s.connections << " connections, " << s.framesIn << " frames in ("
        << s.bytesIn << " bytes), " << s.framesOut << " frames out (" << s.bytesOut
        << " bytes); skipped " << s.skippedIn << " garbage bytes and " << s.badHeadersIn
        << " bad headers from clients";
    if (s.oversizeIn > 0) {
        out << "; discarded " << s.oversizeIn << " oversize frames";
    }
    if (s.tlsHandshakesFailed > 0) {
        out << "; " << s.tlsHandshakesFailed << " TLS handshakes failed";
    }
    if (s.garbageInjections + s.badLengths + s.oversizeFrames + s.paddingInjections +
            s.tornFrames + s.stalls + s.drops >
        0) {
        out << "\ninjected: " << s.garbageInjections << " garbage runs (" << s.garbageBytes
            << " bytes), " << s.paddingInjections << " runs of 0xFF padding (" << s.paddingBytes
            << " bytes with the garbage in front), " << s.badLengths << " bad length fields, "
            << s.oversizeFrames << " oversize frames, " << s.tornFrames << " torn frames, "
            << s.stalls << " stalls, " << s.drops << " dropped connections";
    }
    return out.str();
}

void Peer::log(const std::string& line) const {
    if (m_log) {
        m_log(line);
    }
}

void Peer::run() {
    std::vector<ServerSocket::Item> items;
    while (!m_stop) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = now + std::chrono::milliseconds(200);
        items.clear();
        // Decrypted input that waits in a TLS stream does not make its
        // socket readable: such a connection is served without waiting.
        std::vector<bool> buffered;
        for (const auto& connection : m_connections) {
            ServerSocket::Item item;
            item.handle = connection->link->Handle();
            item.wantRead = !connection->dropping && connection->Pending() < kOutputHighWater;
            buffered.push_back(item.wantRead && connection->link->HasBufferedInput());
            if (buffered.back()) {
                wake = now;
            }
            const bool stalled = now < connection->stallUntil;
            item.wantWrite =
                (connection->Pending() > 0 || connection->link->HasPendingOutput()) && !stalled;
            if (stalled) {
                wake = std::min(wake, connection->stallUntil);
            }
            if (m_options.mode == PeerOptions::Mode::Source && !connection->dropping) {
                wake = std::min(wake, connection->nextSource);
            }
            items.push_back(item);
        }
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now);
        const bool pending =
            m_socket.Wait(items, static_cast<int>(std::max<std::int64_t>(0, waitMs.count())));
        if (m_stop) {
            break;
        }

        for (std::size_t i = 0; i < items.size(); ++i) {
            Connection& connection = *m_connections[i];
            if (items[i].readable || buffered[i]) {
                serveInput(connection);
            }
            if (!connection.closed && m_options.mode == PeerOptions::Mode::Source) {
                const auto period = std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(1.0 / m_options.rate));
                const Clock::time_point at = Clock::now();
                if (at - connection.nextSource > std::chrono::seconds(1)) {
                    connection.nextSource = at;
                }
                while (!connection.dropping && connection.nextSource <= at &&
                       connection.Pending() < kOutputHighWater) {
                    const unsigned int size =
                        connection.Between(m_options.sizeMin, m_options.sizeMax);
                    std::string body = "source frame " + std::to_string(++connection.sourceNumber);
                    body.push_back(' ');
                    for (std::size_t k = body.size(); k < size; ++k) {
                        body.push_back(static_cast<char>('a' + k % 26));
                    }
                    body.resize(size);
                    emit(connection, reinterpret_cast<const unsigned char*>(body.data()),
                         body.size());
                    connection.nextSource += period;
                }
            }
            if (!connection.closed && Clock::now() >= connection.stallUntil) {
                flush(connection);
            }
            if (!connection.closed && connection.dropping && connection.Pending() == 0 &&
                !connection.link->HasPendingOutput()) {
                close(connection, "dropped (fault injection) after " +
                                      std::to_string(connection.framesOut) + " frames out");
            }
        }
        if (pending) {
            acceptAll();
        }
        takeHandshakes();
        std::erase_if(m_connections, [](const auto& c) { return c->closed; });
    }
    if (m_tls) {
        m_tls->Stop();
        m_handshaking.clear();
    }
    for (auto& connection : m_connections) {
        close(*connection, "closed: peer stopping", true);
    }
    m_connections.clear();
}

void Peer::acceptAll() {
    for (;;) {
        std::string who;
        const ServerSocket::Handle handle = m_socket.Accept(who);
        if (handle == ServerSocket::INVALID_HANDLE) {
            return;
        }
        const std::uint64_t id = m_nextId++;
        if (m_tls) {
            m_handshaking.emplace(id, who);
            m_tls->Begin(id, handle);
        } else {
            addConnection(id, who, std::make_unique<PeerLink>(handle));
        }
    }
}

void Peer::takeHandshakes() {
    if (!m_tls) {
        return;
    }
    for (TlsAcceptor::Finished& done : m_tls->TakeFinished()) {
        const std::string who = m_handshaking[done.id];
        m_handshaking.erase(done.id);
        if (!done.stream) {
            {
                std::lock_guard<std::mutex> lock(m_statsMutex);
                ++m_stats.tlsHandshakesFailed;
            }
            log("connection #" + std::to_string(done.id) + " from " + who +
                ": TLS handshake failed: " + done.failure);
            continue;
        }
        addConnection(done.id, who,
                      std::make_unique<PeerLink>(done.handle, std::move(done.stream)));
    }
}

void Peer::addConnection(std::uint64_t id, const std::string& who, std::unique_ptr<PeerLink> link) {
    auto connection = std::make_unique<Connection>();
    connection->link = std::move(link);
    connection->id = id;
    connection->peer = who;
    connection->random.seed(m_options.seed * 0x9E3779B97F4A7C15ULL + connection->id);
    connection->nextSource = Clock::now();
    {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_stats.connections;
    }
    const std::string protocol = connection->link->ProtocolName();
    log("connection #" + std::to_string(connection->id) + " from " + who +
        (protocol.empty() ? "" : " (" + protocol + ")"));
    m_connections.push_back(std::move(connection));
}

void Peer::serveInput(Connection& connection) {
    std::vector<unsigned char> chunk(kReadChunk);
    const long got = connection.link->Read(chunk.data(), chunk.size());
    if (got < 0) {
        close(connection, connection.link->Why());
        return;
    }
    if (got == 0) {
        return;
    }
    const FrameDecoder::Counters before = connection.decoder.GetCounters();
    const auto* next = chunk.data();
    std::size_t left = static_cast<std::size_t>(got);
    std::vector<unsigned char> body;
    while (left > 0 || connection.decoder.HasFrame()) {
        const std::size_t used = connection.decoder.Feed(next, left);
        next += used;
        left -= used;
        if (!connection.decoder.Next(body)) {
            continue;
        }
        ++connection.framesIn;
        {
            std::lock_guard<std::mutex> lock(m_statsMutex);
            ++m_stats.framesIn;
            m_stats.bytesIn += body.size();
        }
        if (m_options.verbose) {
            log("#" + std::to_string(connection.id) + " in  frame " +
                std::to_string(connection.framesIn) + ", " + std::to_string(body.size()) +
                " bytes");
        }
        if (m_options.mode == PeerOptions::Mode::Echo) {
            emit(connection, body.data(), body.size());
        }
    }
    const FrameDecoder::Counters& after = connection.decoder.GetCounters();
    const std::uint64_t skipped = after.skippedBytes - before.skippedBytes;
    const std::uint64_t bad = after.badHeaders - before.badHeaders;
    const std::uint64_t oversize = after.oversizeDiscarded - before.oversizeDiscarded;
    if (skipped + bad + oversize > 0) {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        m_stats.skippedIn += skipped;
        m_stats.badHeadersIn += bad;
        m_stats.oversizeIn += oversize;
    }
    if (m_options.verbose && skipped + bad + oversize > 0) {
        log("#" + std::to_string(connection.id) + " skipped " + std::to_string(skipped) +
            " garbage bytes, " + std::to_string(bad) + " bad headers, " +
            std::to_string(oversize) + " oversize frames");
    }
}

void Peer::emit(Connection& connection, const unsigned char* body, std::size_t size) {
    if (connection.dropping) {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_stats.unechoedAtDrop;
        return;
    }
    inject(connection);
    appendHeader(connection.out, static_cast<std::int32_t>(size));
    connection.out.insert(connection.out.end(), body, body + size);
    ++connection.framesOut;
    {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_stats.framesOut;
        m_stats.bytesOut += size;
    }
    if (m_options.verbose) {
        log("#" + std::to_string(connection.id) + " out frame " +
            std::to_string(connection.framesOut) + ", " + std::to_string(size) + " bytes");
    }
    if (m_options.dropAfter > 0 && connection.framesOut == m_options.dropAfter) {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        if (m_options.maxDrops == 0 || m_stats.drops < m_options.maxDrops) {
            ++m_stats.drops;
            connection.dropping = true;
        }
    }
}

void Peer::inject(Connection& connection) {
    const std::string tag = "#" + std::to_string(connection.id) + " inject ";
    if (connection.Chance(m_options.garbage)) {
        // No 0xFF except short runs inside, and never at the end: garbage must
        // not merge with the sync mark that follows into a longer one.
        const unsigned int length = connection.Between(1, 48);
        const std::size_t first = connection.out.size();
        for (unsigned int i = 0; i < length; ++i) {
            connection.out.push_back(static_cast<unsigned char>(connection.Between(0, 0xFE)));
        }
        if (length > 2 && connection.Chance(0.5)) {
            const unsigned int run = connection.Between(1, std::min(9u, length - 1));
            const unsigned int at = connection.Between(0, length - 1 - run);
            std::fill_n(connection.out.begin() + static_cast<std::ptrdiff_t>(first + at), run,
                        KavraHeader::SYNC_BYTE);
        }
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_stats.garbageInjections;
        m_stats.garbageBytes += length;
        if (m_options.verbose) {
            log(tag + std::to_string(length) + " garbage bytes");
        }
    }
    if (connection.Chance(m_options.badLength)) {
        injectBadLength(connection, tag);
    }
    if (connection.Chance(m_options.oversize)) {
        injectOversize(connection, tag);
    }
    if (connection.Chance(m_options.torn)) {
        const unsigned int announced = connection.Between(64, 600);
        const unsigned int sent = connection.Between(1, announced - 1);
        appendHeader(connection.out, static_cast<std::int32_t>(announced));
        // A zero first byte marks the junk as the peer's own, never an echo.
        connection.out.push_back(0);
        for (unsigned int i = 1; i < sent; ++i) {
            connection.out.push_back(static_cast<unsigned char>(connection.Between(0, 0xFE)));
        }
        if (m_options.tornPadded) {
            connection.out.insert(connection.out.end(), announced - sent, 0);
        }
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_stats.tornFrames;
        if (m_options.verbose) {
            log(tag + "torn frame: " + std::to_string(sent) + " of " + std::to_string(announced) +
                " body bytes" + (m_options.tornPadded ? ", padded" : ""));
        }
    }
    // Last, so that the run of 0xFF meets the frame's own sync mark.
    if (connection.Chance(m_options.padding)) {
        injectPadding(connection, tag);
    }
    if (connection.Chance(m_options.stall)) {
        connection.stallUntil = Clock::now() + std::chrono::milliseconds(m_options.stallMs);
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_stats.stalls;
        if (m_options.verbose) {
            log(tag + "stall of " + std::to_string(m_options.stallMs) + " ms");
        }
    }
}

void Peer::injectBadLength(Connection& connection, const std::string& tag) {
    // Only lengths a receiver skips without reading a body, and no negative
    // one beginning with 0xFF: behind the sync mark that would make a run of
    // 0xFF whose last ten may line up with the next frame.
    std::int32_t length = 0;
    switch (connection.Between(0, 2)) {
    case 0:
        length = 0;
        break;
    case 1:
        length = static_cast<std::int32_t>(connection.Between(0x80000000u, 0xFEFFFFFFu));
        break;
    default:
        length = static_cast<std::int32_t>(
            connection.Between(static_cast<unsigned int>(KavraHeader::MAX_DISCARD_LENGTH) + 1, 0x7FFFFFFF));
        break;
    }
    appendHeader(connection.out, length);
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.badLengths;
    if (m_options.verbose) {
        log(tag + "bad length field " + std::to_string(length));
    }
}

void Peer::injectOversize(Connection& connection, const std::string& tag) {
    const unsigned int length = connection.Between(
        static_cast<unsigned int>(KavraHeader::MAX_BODY_LENGTH) + 1, 16 * 1024);
    appendHeader(connection.out, static_cast<std::int32_t>(length));
    for (unsigned int i = 0; i < length; ++i) {
        connection.out.push_back(static_cast<unsigned char>(connection.Between(0, 0xFF)));
    }
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.oversizeFrames;
    if (m_options.verbose) {
        log(tag + "oversize frame of " + std::to_string(length) + " bytes");
    }
}

void Peer::injectPadding(Connection& connection, const std::string& tag) {
    // Half the time garbage without 0xFF in front: garbage that ends in 0xFF.
    const unsigned int garbage = connection.Chance(0.5) ? connection.Between(1, 48) : 0;
    const unsigned int run = connection.Between(1, 20);
    for (unsigned int i = 0; i < garbage; ++i) {
        connection.out.push_back(static_cast<unsigned char>(connection.Between(0, 0xFE)));
    }
    connection.out.insert(connection.out.end(), run, KavraHeader::SYNC_BYTE);
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.paddingInjections;
    m_stats.paddingBytes += garbage + run;
    if (m_options.verbose) {
        log(tag + std::to_string(garbage) + " garbage bytes and " + std::to_string(run) +
            " bytes 0xFF");
    }
}

void Peer::flush(Connection& connection) {
    while (connection.Pending() > 0) {
        const long put = connection.link->Write(connection.out.data() + connection.outSent,
                                                connection.Pending());
        if (put < 0) {
            close(connection, connection.link->Why());
            return;
        }
        if (put == 0) {
            break;
        }
        connection.outSent += static_cast<std::size_t>(put);
    }
    if (connection.Pending() == 0 && !connection.link->Flush()) {
        close(connection, connection.link->Why());
        return;
    }
    if (connection.outSent == connection.out.size()) {
        connection.out.clear();
        connection.outSent = 0;
    } else if (connection.outSent > kOutputHighWater) {
        connection.out.erase(connection.out.begin(),
                             connection.out.begin() +
                                 static_cast<std::ptrdiff_t>(connection.outSent));
        connection.outSent = 0;
    }
}

void Peer::close(Connection& connection, const std::string& why, bool orderly) {
    if (connection.closed) {
        return;
    }
    connection.link->Close(orderly);
    connection.closed = true;
    std::string line = "connection #" + std::to_string(connection.id) + " " + why + " (" +
                       std::to_string(connection.framesIn) + " frames in, " +
                       std::to_string(connection.framesOut) + " out";
    const FrameDecoder::Counters& seen = connection.decoder.GetCounters();
    if (seen.skippedBytes + seen.badHeaders + seen.oversizeDiscarded > 0) {
        line += ", skipped " + std::to_string(seen.skippedBytes) + " garbage bytes, " +
                std::to_string(seen.badHeaders) + " bad headers and " +
                std::to_string(seen.oversizeDiscarded) + " oversize frames";
    }
    log(line + ")");
}

} // namespace kavra::tool
