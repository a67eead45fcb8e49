// HTTP CONNECT (RFC 9110): one request, with Basic credentials when the
// proxy's URL has them, and one reply read up to its blank line. A 2xx
// status opens the tunnel; 407 (or 401) asks for (other) credentials; any other
// status is the proxy's refusal, whose status line the detail carries.
// Contract of ProxyHandshake.h.
#pragma once

#include "base/os/proxy/ProxyHandshake.h"

namespace kavra::os {

class HttpConnectHandshake final : public ProxyHandshake {
public:
    HttpConnectHandshake(const ProxyEndpoint& proxy, const std::string& host, unsigned short port);

    // The most reply head (status line and headers) read before the reply
    // counts as malformed.
    static constexpr std::size_t MAX_REPLY_HEAD = 16 * 1024;

private:
    Progress Parse() override;
    std::string Awaiting() const override { return "the reply to CONNECT"; }

    // The outcome of a whole reply head (its lines without their ends).
    Progress Judge(const std::vector<std::string>& lines);

    // How far the search for the head's end has come.
    std::size_t m_scanned = 0;
};

// RFC 4648 base64 of bytes, for the Basic credentials.
std::string Base64(const std::string& bytes);

} // namespace kavra::os
