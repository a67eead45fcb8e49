// A proxy as a stage of the stream chain: the TCP connect goes to the proxy
// (Route), and each Start runs the proxy's handshake (ProxyStep) asking it
// for the target over that connection; TLS, when on, starts above it and so
// verifies the target's name, not the proxy's. A TCP connect that fails
// becomes KAVRA_PROXY_UNREACHABLE, naming the proxy. A URL that does not
// parse makes a layer whose Ready fails with KAVRA_PROXY_SETUP, so a
// socket told to use a proxy never connects without it.
//
// Immutable once made; any thread (StreamLayer.h).
#pragma once

#include "base/os/StreamLayer.h"
#include "base/os/proxy/ProxyEndpoint.h"

#include <optional>

namespace kavra::os {

class ProxyLayer final : public StreamLayer {
public:
    // The layer of a proxy's URL (ProxyEndpoint.h).
    explicit ProxyLayer(const std::string& url);

    int Ready(std::string& detail) const override;
    std::unique_ptr<SetupStep> Start(std::unique_ptr<ByteStream> next, const std::string& host,
                                     unsigned short port, int& error,
                                     std::string& detail) const override;
    void Route(std::string& host, unsigned short& port) const override;
    void ExplainConnectFailure(int& error, std::string& detail) const override;

private:
    // Why the URL did not parse (declared first: Parse writes it).
    std::string m_why;
    // Set when the URL parsed.
    std::optional<ProxyEndpoint> m_proxy;
};

} // namespace kavra::os
