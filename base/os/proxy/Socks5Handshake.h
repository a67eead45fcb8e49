// SOCKS5 (RFC 1928): a greeting that offers no authentication and, when the
// proxy's URL has credentials, user/password (RFC 1929); the credentials if
// the proxy picks them; then CONNECT with the target's host as a name
// (address type 3), so that the proxy resolves it. Each message goes only
// after the proxy answered the one before. Contract of ProxyHandshake.h.
#pragma once

#include "base/os/proxy/ProxyHandshake.h"

namespace kavra::os {

class Socks5Handshake final : public ProxyHandshake {
public:
    Socks5Handshake(const ProxyEndpoint& proxy, const std::string& host, unsigned short port);

    // The text of a CONNECT reply code (1..8; others "unknown reply code").
    static std::string ReplyText(unsigned char code);

private:
    enum class Step { Method, Credentials, Connect };

    Progress Parse() override;
    std::string Awaiting() const override;

    Progress OnMethod();
    Progress OnCredentials();
    Progress OnConnect();
    void QueueConnect();
    // Fails as malformed when the proxy sent more than the reply to a
    // request it has not been sent yet.
    Progress Expect(std::size_t used);

    Step m_step = Step::Method;
};

} // namespace kavra::os
