// The demonstration: an echo peer with fault injection in this process, one
// client connection to it, several sender threads and one receiver thread.
// Every echo is checked byte for byte against what was sent, and every PDU
// ends in exactly one place: verified, lost with a known reason, or a failure.
#pragma once

#include "Peer.h"
#include "SelfSignedCertificate.h"
#include "ToolClient.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace kavra::tool {

struct DemoOptions {
    std::uint64_t count = 4000;
    double durationSeconds = 0.0; // > 0: send for this long instead of count PDUs
    unsigned int senders = 4;
    unsigned int window = 16; // PDUs each sender may have waiting for their echo
    std::uint64_t seed = 1;
    bool faults = true;
    // The client holds PDUs while disconnected and stops reading at a full
    // receive queue, so only frames in flight at the drop may be lost.
    bool lossless = false;
    // The peer serves TLS with a certificate made for the run, which the
    // client trusts as its CA; every fault then happens inside TLS.
    bool tls = false;
    // The client's proxy URL; "" for none.
    std::string proxy;
    bool verbose = false;
    bool progressBar = false;
};

class Demo {
public:
    explicit Demo(DemoOptions options);
    // Runs the whole demonstration and prints its summary. Returns true when
    // every accepted PDU was verified or accounted for. Caller's thread.
    bool Run();

    // The body of sender's PDU number seq with size bytes: a 7-byte identity
    // ('k', 'v', sender, seq big-endian; cut short in tiny bodies), then a
    // pattern derived from all three.
    static void MakeBody(unsigned int sender, std::uint32_t seq, std::uint32_t size,
                         std::vector<unsigned char>& body);

private:
    using Clock = std::chrono::steady_clock;

    struct Entry {
        unsigned int sender = 0;
        std::uint32_t seq = 0;
        std::uint32_t size = 0;
        std::uint64_t epoch = 0;
        Clock::time_point sentAt{};
    };

    void sender(unsigned int id);
    void receiver();
    bool matches(const Entry& entry, const unsigned char* body, std::uint32_t size) const;
    // Marks every entry sent before order lost; echoes come back in send order.
    void loseBefore(std::uint64_t order);
    // Counts entry, found unechoed while epoch reconnections have happened,
    // as lost or missing.
    void countLoss(const Entry& entry, const kavra::ConnectionStats& stats);
    std::uint32_t pickSize(std::mt19937_64& random) const;
    // The client's TLS, with the peer's certificate made on the way.
    kavra::TlsOptions prepareTls(PeerOptions& peerOptions);
    bool sendingOver() const;
    void progress(bool final);
    // The client's counters once its send queue has drained, or after a
    // bounded wait.
    kavra::ConnectionStats settledStats();
    std::string summary(double seconds, const PeerStats& peer, const kavra::ConnectionStats& client,
                        bool ok) const;

    DemoOptions m_options;
    std::unique_ptr<SelfSignedCertificate> m_certificate;
    std::unique_ptr<Peer> m_peer;
    ToolClient m_client;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::uint64_t, Entry> m_outstanding; // by send order
    std::map<std::pair<unsigned int, std::uint32_t>, std::uint64_t> m_orderOf;
    std::vector<std::map<std::uint64_t, unsigned int>> m_inWindow; // per sender, per epoch
    std::uint64_t m_nextOrder = 0;
    std::uint64_t m_claimed = 0;
    unsigned int m_sendersRunning = 0;
    Clock::time_point m_start{};
    Clock::time_point m_lastVerified{};

    std::uint64_t m_sent = 0;
    std::uint64_t m_sentBytes = 0;
    std::uint64_t m_refused = 0;
    std::uint64_t m_verified = 0;
    std::uint64_t m_verifiedBytes = 0;
    std::uint64_t m_lost = 0;
    // Of those, PDUs sent on the connection that was live when they were
    // judged lost: each needs one of the client's own drops.
    std::uint64_t m_lostLive = 0;
    std::uint64_t m_missing = 0;
    std::uint64_t m_peerJunk = 0;
    std::uint64_t m_corrupt = 0;
    std::vector<double> m_roundTripsMs;
};

} // namespace kavra::tool
