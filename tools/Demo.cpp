#include "Demo.h"

#include "Address.h"
#include "Commands.h"
#include "Format.h"
#include "Terminal.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

namespace kavra::tool {

namespace {

constexpr unsigned char kMagic0 = 'k';
constexpr unsigned char kMagic1 = 'v';
constexpr std::uint32_t kIdentityLength = 7;
// After the senders finish, how long the receiver waits for a missing echo:
// longer than a stall, a reconnection's backoff and one socket write.
constexpr auto kDrainGrace =
    std::chrono::milliseconds(KavraClientThread::SOCKET_IO_TIMEOUT_MS + 1500);

std::uint32_t readBigEndian(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

bool sendBalanced(const kavra::ConnectionStats& s) {
    return s.pdusAccepted == s.framesSent + s.SendDropped() + s.sendQueued + s.sendBuffered;
}

bool receiveBalanced(const kavra::ConnectionStats& s) {
    return s.framesRead == s.framesReceived + s.receiveDropsQueueFull + s.oversizeDiscarded;
}

// Lost PDUs that the client neither dropped nor had to discard on receipt:
// the kernel took them, and the dropped connection took them or their echo.
std::uint64_t lostInFlight(std::uint64_t lost, const kavra::ConnectionStats& s) {
    const std::uint64_t explained = s.SendDropped() + s.receiveDropsQueueFull;
    return lost >= explained ? lost - explained : 0;
}

std::string tlsVersionName(std::uint64_t version) {
    return version == 0x0304   ? "TLSv1.3"
           : version == 0x0303 ? "TLSv1.2"
                               : "TLS version " + std::to_string(version);
}

std::string verdict(bool holds) {
    return holds ? "(holds)" : "(DOES NOT HOLD)";
}

} // namespace

Demo::Demo(DemoOptions options) : m_options(options), m_inWindow(options.senders) {}

void Demo::MakeBody(unsigned int sender, std::uint32_t seq, std::uint32_t size,
                    std::vector<unsigned char>& body) {
    body.resize(size);
    const unsigned char identity[kIdentityLength] = {kMagic0,
                                                     kMagic1,
                                                     static_cast<unsigned char>(sender),
                                                     static_cast<unsigned char>(seq >> 24),
                                                     static_cast<unsigned char>(seq >> 16),
                                                     static_cast<unsigned char>(seq >> 8),
                                                     static_cast<unsigned char>(seq)};
    std::uint32_t state = (sender + 1) * 0x9E3779B9u ^ (seq * 2654435761u) ^ (size << 7) ^ 1u;
    for (std::uint32_t i = 0; i < size; ++i) {
        if (i < kIdentityLength) {
            body[i] = identity[i];
            continue;
        }
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        body[i] = static_cast<unsigned char>(state);
    }
}

bool Demo::matches(const Entry& entry, const unsigned char* body, std::uint32_t size) const {
    if (entry.size != size) {
        return false;
    }
    std::vector<unsigned char> expected;
    MakeBody(entry.sender, entry.seq, entry.size, expected);
    return std::equal(expected.begin(), expected.end(), body);
}

std::uint32_t Demo::pickSize(std::mt19937_64& random) const {
    const unsigned int max = KavraClientThread::MAX_PDU_LENGTH;
    const unsigned int kind = std::uniform_int_distribution<unsigned int>(0, 99)(random);
    if (kind < 5) {
        return std::uniform_int_distribution<std::uint32_t>(1, 16)(random);
    }
    if (kind < 50) {
        return std::uniform_int_distribution<std::uint32_t>(17, 1024)(random);
    }
    if (kind < 52) {
        return max;
    }
    return std::uniform_int_distribution<std::uint32_t>(1025, max)(random);
}

bool Demo::sendingOver() const {
    if (m_options.durationSeconds > 0.0) {
        return Clock::now() - m_start >= std::chrono::duration<double>(m_options.durationSeconds);
    }
    return m_claimed >= m_options.count;
}

void Demo::sender(unsigned int id) {
    std::mt19937_64 random(m_options.seed * 1000003u + id);
    std::vector<unsigned char> body;
    for (std::uint32_t seq = 0;; ++seq) {
        std::unique_lock<std::mutex> lock(m_mutex);
        // The window bounds the echoes on their way back, so the receive
        // queue seldom fills, and a reader paused at a full queue (--lossless)
        // has little waiting in the sockets behind it. It counts only PDUs
        // sent since the last reconnection: those in flight at a drop never
        // come back, and must not stop the sender for good.
        std::uint64_t epoch = m_client.GetStats().reconnections;
        while (!sendingOver() && m_inWindow[id][epoch] >= m_options.window) {
            m_changed.wait_for(lock, std::chrono::milliseconds(20));
            epoch = m_client.GetStats().reconnections;
        }
        if (sendingOver() || Terminal::Interrupted()) {
            break;
        }
        ++m_claimed;
        const std::uint32_t size = seq == 0 && id == 0 ? 1 : pickSize(random);
        MakeBody(id, seq, size, body);
        Entry entry{id, seq, size, epoch, Clock::now()};
        // Sent under the lock, so that the order of m_outstanding is the order
        // of the send queue, and so the order of the echoes.
        if (m_client.SendPdu(body.data(), size) != 0) {
            ++m_refused;
            continue;
        }
        const std::uint64_t order = m_nextOrder++;
        m_outstanding.emplace(order, entry);
        m_orderOf.emplace(std::make_pair(id, seq), order);
        ++m_inWindow[id][epoch];
        ++m_sent;
        m_sentBytes += size;
        if (m_options.verbose) {
            lock.unlock();
            PrintLine("sender " + std::to_string(id) + " sent PDU " + std::to_string(seq) + ", " +
                      std::to_string(size) + " bytes");
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_sendersRunning;
    m_changed.notify_all();
}

void Demo::loseBefore(std::uint64_t order) {
    const kavra::ConnectionStats stats = m_client.GetStats();
    while (!m_outstanding.empty() && m_outstanding.begin()->first < order) {
        const Entry& entry = m_outstanding.begin()->second;
        --m_inWindow[entry.sender][entry.epoch];
        countLoss(entry, stats);
        m_orderOf.erase(std::make_pair(entry.sender, entry.seq));
        m_outstanding.erase(m_outstanding.begin());
    }
}

void Demo::countLoss(const Entry& entry, const kavra::ConnectionStats& stats) {
    // A PDU sent before the last reconnection may have been in flight at the
    // drop. One sent on the current connection was never near a drop: only
    // one of the client's own drops (a write given up, an echo read while 100
    // PDUs waited) explains its loss, and a lossless client makes none.
    if (entry.epoch < stats.reconnections) {
        ++m_lost;
    } else if (!m_options.lossless &&
               m_lostLive < stats.SendDropped() + stats.receiveDropsQueueFull) {
        ++m_lost;
        ++m_lostLive;
    } else {
        ++m_missing;
    }
}

void Demo::receiver() {
    std::vector<unsigned char> body(KavraClientThread::MAX_PDU_LENGTH);
    Clock::time_point lastEcho = Clock::now();
    for (;;) {
        unsigned int size = 0;
        const int result =
            m_client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size, 50);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (result != KavraClientThread::RECEIVE_OK) {
            const bool sendersDone = m_sendersRunning == 0;
            if (sendersDone && (m_outstanding.empty() || Clock::now() - lastEcho > kDrainGrace ||
                                Terminal::Interrupted())) {
                break;
            }
            continue;
        }
        lastEcho = Clock::now();
        // Find the PDU this echo belongs to: by its identity when the body is
        // long enough to carry one, else by order among the oldest waiting.
        auto found = m_outstanding.end();
        if (size >= kIdentityLength && body[0] == kMagic0 && body[1] == kMagic1) {
            const auto id =
                std::make_pair(static_cast<unsigned int>(body[2]), readBigEndian(body.data() + 3));
            const auto order = m_orderOf.find(id);
            if (order != m_orderOf.end()) {
                found = m_outstanding.find(order->second);
            }
        } else if (size > 0 && body[0] == kMagic0) {
            int looked = 0;
            for (auto it = m_outstanding.begin(); it != m_outstanding.end() && looked < 256;
                 ++it, ++looked) {
                if (matches(it->second, body.data(), size)) {
                    found = it;
                    break;
                }
            }
        }
        if (found == m_outstanding.end() || !matches(found->second, body.data(), size)) {
            // The peer's torn frames start with a zero byte; an echo never does.
            if (size > 0 && body[0] == 0) {
                ++m_peerJunk;
            } else {
                ++m_corrupt;
                PrintError("kavra demo: an echo of " + std::to_string(size) +
                           " bytes matches no PDU sent");
            }
            continue;
        }
        const std::uint64_t order = found->first;
        loseBefore(order);
        found = m_outstanding.find(order);
        const Entry entry = found->second;
        const std::chrono::duration<double, std::milli> roundTrip = lastEcho - entry.sentAt;
        m_roundTripsMs.push_back(roundTrip.count());
        --m_inWindow[entry.sender][entry.epoch];
        m_orderOf.erase(std::make_pair(entry.sender, entry.seq));
        m_outstanding.erase(found);
        ++m_verified;
        m_verifiedBytes += size;
        m_lastVerified = lastEcho;
        m_changed.notify_all();
    }
    // What is still waiting never came back, and no later echo showed it
    // skipped: judged as any loss.
    const kavra::ConnectionStats stats = m_client.GetStats();
    for (const auto& [order, entry] : m_outstanding) {
        countLoss(entry, stats);
    }
    m_outstanding.clear();
}

void Demo::progress(bool final) {
    std::uint64_t verified = 0;
    std::uint64_t lost = 0;
    std::uint64_t sent = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        verified = m_verified;
        lost = m_lost;
        sent = m_sent;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
    double fraction = 0.0;
    std::string done;
    if (m_options.durationSeconds > 0.0) {
        fraction = std::min(1.0, elapsed / m_options.durationSeconds);
        done = std::to_string(verified) + " verified";
    } else {
        fraction = static_cast<double>(verified + lost) / static_cast<double>(m_options.count);
        done = std::to_string(verified) + "/" + std::to_string(m_options.count) + " verified";
    }
    fraction = std::min(1.0, fraction);
    const std::string counts = done + ", " + std::to_string(sent) + " sent, " +
                               std::to_string(lost) + " lost, " +
                               std::to_string(m_client.GetStats().reconnections) + " reconnections";
    if (m_options.progressBar) {
        constexpr int width = 30;
        const int filled = static_cast<int>(fraction * width);
        std::string bar = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                          std::string(static_cast<std::size_t>(width - filled), '-') + "] " +
                          fixed(fraction * 100.0, 0) + "%  " + counts + "   ";
        std::fputs(bar.c_str(), stdout);
        if (final) {
            std::fputc('\n', stdout);
        }
        std::fflush(stdout);
    } else {
        PrintLine("progress: " + fixed(fraction * 100.0, 0) + "%, " + counts);
    }
}

bool Demo::Run() {
    PeerOptions peerOptions;
    peerOptions.mode = PeerOptions::Mode::Echo;
    peerOptions.seed = m_options.seed;
    peerOptions.verbose = m_options.verbose;
    if (m_options.faults) {
        peerOptions.garbage = 0.02;
        peerOptions.badLength = 0.005;
        peerOptions.oversize = 0.005;
        peerOptions.padding = 0.02;
        peerOptions.torn = 0.005;
        // Padded, so a torn frame never swallows the echo after it; the client
        // receives it as one junk body and rejects it.
        peerOptions.tornPadded = true;
        peerOptions.stall = 0.002;
        peerOptions.stallMs = 50;
        peerOptions.dropAfter = m_options.durationSeconds > 0.0
                                    ? 1000
                                    : std::max<std::uint64_t>(1, m_options.count * 2 / 5);
        peerOptions.maxDrops = 1;
    }
    const kavra::TlsOptions tls = prepareTls(peerOptions);
    m_peer = std::make_unique<Peer>("127.0.0.1", 0, peerOptions,
                                    m_options.verbose ? Peer::Log(PrintLine) : Peer::Log());
    m_peer->Start();
    const Address address = Address::Parse(m_peer->Where(), false);

    std::string what = m_options.durationSeconds > 0.0
                           ? "for " + fixed(m_options.durationSeconds, 1) + " s"
                           : std::to_string(m_options.count) + " PDUs";
    PrintLine("kavra demo: " + std::to_string(m_options.senders) + " sender threads, " + what +
              " of 1.." + std::to_string(KavraClientThread::MAX_PDU_LENGTH) +
              " bytes, echoed by a peer on " + address.ToString());
    if (m_options.lossless) {
        PrintLine("client: holds PDUs while disconnected, stops reading at a full receive queue "
                  "(--lossless)");
    }
    if (m_options.tls) {
        PrintLine("tls: the peer serves TLS with a self-signed certificate for 127.0.0.1 and "
                  "localhost, made for this run in " +
                  m_certificate->Folder() + "; the client trusts it as its CA");
    }
    if (m_options.faults) {
        PrintLine("peer faults: garbage before 2% of frames, 0xFF padding (alone or ending "
                  "garbage) 2%, bad length fields 0.5%, oversize frames 0.5%, torn frames "
                  "0.5%, stalls 0.2%, one dropped connection after " +
                  std::to_string(peerOptions.dropAfter) + " frames (seed " +
                  std::to_string(m_options.seed) + ")");
    }

    if (m_options.lossless) {
        m_client.SetHoldWhileDisconnected(true);
        m_client.SetReceiveOverflow(kavra::ReceiveOverflow::Block);
    }
    m_client.Connect(address, true, 0, tls, m_options.proxy);
    m_start = Clock::now();
    m_lastVerified = m_start;
    m_sendersRunning = m_options.senders;
    std::vector<std::thread> threads;
    for (unsigned int id = 0; id < m_options.senders; ++id) {
        threads.emplace_back([this, id] { sender(id); });
    }
    std::thread receiving([this] { receiver(); });

    const auto tick =
        m_options.progressBar ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    auto nextTick = Clock::now() + tick;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_changed.wait_until(lock, nextTick, [this] {
                    return m_sendersRunning == 0 && m_outstanding.empty();
                })) {
                break;
            }
        }
        if (Clock::now() >= nextTick) {
            progress(false);
            nextTick += tick;
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    receiving.join();
    progress(true);

    const kavra::ConnectionStats client = settledStats();
    m_client.Destroy();
    m_peer->Stop();
    const PeerStats peer = m_peer->Stats();
    m_certificate.reset();

    const double seconds = std::chrono::duration<double>(m_lastVerified - m_start).count();
    // Every PDU the demo counts as sent was accepted, and every accepted one
    // was sent or dropped with a reason: none may still wait in the client.
    const bool sendAccounted = client.pdusAccepted == m_sent && sendBalanced(client) &&
                               client.sendQueued == 0 && client.sendBuffered == 0;
    // A dropped PDU is never echoed, so it must be among the lost; a loss the
    // client did not drop needs a dropped connection to explain it. A
    // lossless client drops nothing itself, so only frames in flight remain.
    const bool lossExplained =
        m_lost >= client.SendDropped() && (peer.drops > 0 || lostInFlight(m_lost, client) == 0) &&
        (!m_options.lossless || (client.SendDropped() == 0 && client.receiveDropsQueueFull == 0));
    // Over TLS every connection the client made must have been encrypted.
    const bool tlsHeld = !m_options.tls || (client.encrypted == 1 && peer.tlsHandshakesFailed == 0);
    const bool ok = m_missing == 0 && m_corrupt == 0 && lossExplained && sendAccounted &&
                    receiveBalanced(client) && m_verified > 0 && tlsHeld &&
                    !Terminal::Interrupted();
    PrintLine(summary(seconds, peer, client, ok));
    return ok;
}

kavra::TlsOptions Demo::prepareTls(PeerOptions& peerOptions) {
    kavra::TlsOptions tls;
    if (!m_options.tls) {
        return tls;
    }
    m_certificate = std::make_unique<SelfSignedCertificate>();
    peerOptions.tlsCertFile = m_certificate->CertFile();
    peerOptions.tlsKeyFile = m_certificate->KeyFile();
    tls.SetEnabled(true);
    tls.SetCaFile(m_certificate->CertFile());
    return tls;
}

kavra::ConnectionStats Demo::settledStats() {
    // The worker may still be writing PDUs the receiver gave up on, and a
    // snapshot taken while it moves a PDU from one counter to the next does
    // not add up: wait for a quiet moment, as long as a stalled write may take.
    const auto deadline = Clock::now() + kDrainGrace;
    for (;;) {
        const kavra::ConnectionStats stats = m_client.GetStats();
        const bool quiet = stats.sendQueued == 0 && stats.sendBuffered == 0 &&
                           sendBalanced(stats) && receiveBalanced(stats);
        if (quiet || Clock::now() >= deadline || Terminal::Interrupted()) {
            return stats;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string Demo::summary(double seconds, const PeerStats& peer,
                          const kavra::ConnectionStats& client, bool ok) const {
    std::ostringstream out;
    auto row = [&out](const std::string& label, const std::string& value) {
        out << "  " << label << std::string(label.size() < 26 ? 26 - label.size() : 1, ' ') << value
            << "\n";
    };
    std::vector<double> sorted = m_roundTripsMs;
    std::sort(sorted.begin(), sorted.end());
    const std::uint64_t queueDrops = client.receiveDropsQueueFull;
    const std::uint64_t cutOff = client.SendDropped() - client.sendDroppedDisconnected;

    out << "\nsummary\n";
    row("PDUs sent",
        std::to_string(m_sent) + " (" + Format::Bytes(static_cast<double>(m_sentBytes)) + ")" +
            (m_refused > 0 ? ", " + std::to_string(m_refused) + " refused by SendPdu" : ""));
    row("echoed and verified", std::to_string(m_verified) + " (every byte compared)");
    const bool breakDown = m_lost > 0 || queueDrops > 0 || m_options.lossless;
    row("lost", std::to_string(m_lost) + (m_lost > 0 ? " (never echoed; by cause below)" : ""));
    if (breakDown) {
        row("  never written", std::to_string(client.sendDroppedDisconnected) +
                                   " (queued while the connection was down)");
        if (queueDrops > 0 || m_options.lossless) {
            row("  dropped, queue full",
                std::to_string(queueDrops) + (m_options.lossless
                                                  ? " (the client stops reading instead)"
                                                  : " (frames read while 100 PDUs waited)"));
        }
        if (cutOff > 0) {
            row("  cut off", std::to_string(cutOff) +
                                 " (dropped before the frame's last byte went; reasons below)");
        }
        if (m_lost > 0 || peer.drops > 0) {
            row("  in flight", std::to_string(lostInFlight(m_lost, client)) +
                                   " (written before the drop, never echoed; "
                                   "the peer had read " +
                                   std::to_string(peer.unechoedAtDrop) + " of them)");
        }
    }
    if (m_missing > 0) {
        row("MISSING", std::to_string(m_missing) + " PDUs never echoed on a live connection");
    }
    if (m_corrupt > 0) {
        row("CORRUPT", std::to_string(m_corrupt) + " echoes that match no PDU sent");
    }
    const bool sendHolds = sendBalanced(client) && client.pdusAccepted == m_sent;
    row("send accounting",
        std::to_string(client.pdusAccepted) + " accepted = " + std::to_string(client.framesSent) +
            " sent + " + std::to_string(client.SendDropped()) + " dropped + " +
            std::to_string(client.sendQueued) + " queued + " + std::to_string(client.sendBuffered) +
            " buffered " + verdict(sendHolds));
    row("  dropped by reason",
        std::to_string(client.sendDroppedDisconnected) + " connection down, " +
            std::to_string(client.sendDroppedTimedOut) + " timed out, " +
            std::to_string(client.sendDroppedConnectionFailed) + " connection failed, " +
            std::to_string(client.sendDroppedAtStop) + " at stop, " +
            std::to_string(client.sendDroppedEmpty) + " empty" +
            (client.sendDroppedStale > 0
                 ? ", " + std::to_string(client.sendDroppedStale) + " too old"
                 : "") +
            (client.outOfStepCloses > 0
                 ? "; " + std::to_string(client.outOfStepCloses) + " out-of-step closes"
                 : ""));
    row("receive accounting",
        std::to_string(client.framesRead) + " read = " + std::to_string(client.framesReceived) +
            " queued + " + std::to_string(queueDrops) + " dropped (queue full) + " +
            std::to_string(client.oversizeDiscarded) + " oversize " +
            verdict(receiveBalanced(client)));
    row("peer junk rejected", std::to_string(m_peerJunk) +
                                  " bodies of torn frames (peer injected " +
                                  std::to_string(peer.tornFrames) + ")");
    row("resynchronisation",
        std::to_string(client.resyncBytesDiscarded) + " garbage bytes discarded (peer injected " +
            std::to_string(peer.garbageBytes + peer.paddingBytes) + ": " +
            std::to_string(peer.garbageBytes) + " garbage, " + std::to_string(peer.paddingBytes) +
            " in " + std::to_string(peer.paddingInjections) + " runs ending in 0xFF)");
    row("bad length fields", std::to_string(client.badHeaders) + " skipped (peer injected " +
                                 std::to_string(peer.badLengths) + ")");
    row("oversize frames", std::to_string(client.oversizeDiscarded) +
                               " read and discarded (peer injected " +
                               std::to_string(peer.oversizeFrames) + ")");
    row("peer stalls", std::to_string(peer.stalls));
    if (m_options.tls) {
        row("encryption", (client.encrypted == 1 ? tlsVersionName(client.tlsVersion)
                                                 : std::string("NONE on the last connection")) +
                              "; " + std::to_string(peer.connections) + " TLS connections, " +
                              std::to_string(peer.tlsHandshakesFailed) + " handshakes failed");
    }
    row("reconnections", std::to_string(client.reconnections) + " (peer dropped " +
                             std::to_string(peer.drops) + " connection" +
                             (peer.drops == 1 ? "" : "s") + ")");
    if (seconds > 0.0) {
        row("throughput", fixed(static_cast<double>(m_verified) / seconds, 0) + " PDUs/s, " +
                              Format::Bytes(static_cast<double>(m_verifiedBytes) / seconds) +
                              "/s each way (" + fixed(seconds, 2) + " s)");
    }
    row("round trip", "p50 " + fixed(Format::Percentile(sorted, 0.50), 2) + " ms, p90 " +
                          fixed(Format::Percentile(sorted, 0.90), 2) + " ms, p99 " +
                          fixed(Format::Percentile(sorted, 0.99), 2) + " ms");
    out << (ok ? "result: OK, every PDU verified or accounted for"
               : "result: FAILED, not every PDU was verified or accounted for");
    return out.str();
}

} // namespace kavra::tool
