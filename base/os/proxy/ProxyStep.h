// The handshake with a proxy as a set-up step: it drives a ProxyHandshake
// over the stream to the proxy, and once the tunnel stands hands up that
// stream, with the bytes the proxy sent behind its reply in front of it
// (LeftoverStream), so the layer above or the framing reader gets them first.
//
// Failed: a KAVRA_PROXY_* code with the machine's detail; the deadline
// passing while the proxy owes its reply is KAVRA_PROXY_STALLED (Expired).
// SetupStep's contract otherwise.
#pragma once

#include "base/os/SetupStep.h"
#include "base/os/proxy/ProxyHandshake.h"

namespace kavra::os {

class ProxyStep final : public SetupStep {
public:
    ProxyStep(std::unique_ptr<ByteStream> next, std::unique_ptr<ProxyHandshake> handshake)
        : m_next(std::move(next)), m_handshake(std::move(handshake)) {}

    Progress Advance(int& error, std::string& detail) override;
    SocketHandle Handle() const override { return m_next->Handle(); }
    void Expired(int& error, std::string& detail) override;
    std::unique_ptr<ByteStream> TakeStream() override;

private:
    // Sends what the machine has for the proxy: Later once all went,
    // WantWrite when there is no room, Done when the machine has ended
    // (outcome tells how).
    Progress send();
    // Reads what the proxy sent into the machine: WantRead when nothing
    // more is there, Later while the machine works on, else Done as above.
    Progress receive();
    Progress outcome(int& error, std::string& detail) const;

    std::unique_ptr<ByteStream> m_next;
    std::unique_ptr<ProxyHandshake> m_handshake;
};

} // namespace kavra::os
