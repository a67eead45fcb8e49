#include "base/os/proxy/Socks5Handshake.h"

#include "kavra/TlsErrors.h"

#include <algorithm>
#include <cstdio>

namespace kavra::os {

namespace {

constexpr unsigned char VERSION = 5;
constexpr unsigned char NO_AUTHENTICATION = 0x00;
constexpr unsigned char USER_PASSWORD = 0x02;
constexpr unsigned char NO_ACCEPTABLE_METHOD = 0xFF;
constexpr unsigned char USER_PASSWORD_VERSION = 1;
constexpr unsigned char CONNECT = 1;
constexpr unsigned char ATYP_IPV4 = 1;
constexpr unsigned char ATYP_NAME = 3;
constexpr unsigned char ATYP_IPV6 = 4;

std::string Hex(const std::vector<unsigned char>& bytes, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i) {
        char text[4];
        std::snprintf(text, sizeof text, "%s%02x", i == 0 ? "" : " ", bytes[i]);
        out += text;
    }
    return out;
}

} // namespace

Socks5Handshake::Socks5Handshake(const ProxyEndpoint& proxy, const std::string& host,
                                 unsigned short port)
    : ProxyHandshake(proxy, host, port) {
    if (State() != Progress::Working) {
        return;
    }
    if (proxy.HasCredentials()) {
        Queue({VERSION, 2, NO_AUTHENTICATION, USER_PASSWORD});
    } else {
        Queue({VERSION, 1, NO_AUTHENTICATION});
    }
}

std::string Socks5Handshake::ReplyText(unsigned char code) {
    switch (code) {
    case 1:
        return "general SOCKS server failure";
    case 2:
        return "connection not allowed by the proxy's rules";
    case 3:
        return "network unreachable";
    case 4:
        return "host unreachable (or its name does not resolve)";
    case 5:
        return "connection refused by the target";
    case 6:
        return "TTL expired";
    case 7:
        return "command not supported";
    case 8:
        return "address type not supported";
    default:
        return "unknown reply code";
    }
}

std::string Socks5Handshake::Awaiting() const {
    switch (m_step) {
    case Step::Method:
        return "its choice of authentication method";
    case Step::Credentials:
        return "its verdict on the credentials";
    case Step::Connect:
        break;
    }
    return "its reply to CONNECT";
}

ProxyHandshake::Progress Socks5Handshake::Parse() {
    switch (m_step) {
    case Step::Method:
        return OnMethod();
    case Step::Credentials:
        return OnCredentials();
    case Step::Connect:
        break;
    }
    return OnConnect();
}

ProxyHandshake::Progress Socks5Handshake::OnMethod() {
    const std::vector<unsigned char>& in = Input();
    if (in.size() < 2) {
        return Progress::Working;
    }
    if (in[0] != VERSION) {
        const bool http = in[0] == 'H' && in[1] == 'T';
        return Fail(KAVRA_PROXY_MALFORMED,
                    Who() + " answered the greeting with " + Hex(in, 2) +
                        (http ? ", which is HTTP (an HTTP proxy?)" : ", which is not SOCKS5"));
    }
    const unsigned char method = in[1];
    if (method == NO_ACCEPTABLE_METHOD) {
        if (Proxy().HasCredentials()) {
            return Fail(KAVRA_PROXY_AUTH_REFUSED,
                        Who() + " accepts neither no authentication nor user/password");
        }
        return Fail(KAVRA_PROXY_AUTH_REQUIRED,
                    Who() + " accepts no connection without authentication; give a user and "
                            "password in the proxy URL");
    }
    if (method == USER_PASSWORD && Proxy().HasCredentials()) {
        m_step = Step::Credentials;
        const std::string& user = Proxy().User();
        const std::string& password = Proxy().Password();
        // Laid out in place, as the connect request below.
        std::vector<unsigned char> request(3 + user.size() + password.size());
        request[0] = USER_PASSWORD_VERSION;
        request[1] = static_cast<unsigned char>(user.size());
        std::copy(user.begin(), user.end(), request.data() + 2);
        request[2 + user.size()] = static_cast<unsigned char>(password.size());
        std::copy(password.begin(), password.end(), request.data() + 3 + user.size());
        Queue(request);
        return Expect(2);
    }
    if (method != NO_AUTHENTICATION) {
        return Fail(KAVRA_PROXY_MALFORMED, Who() + " chose authentication method " +
                                               std::to_string(method) +
                                               ", which kavra did not offer");
    }
    QueueConnect();
    return Expect(2);
}

ProxyHandshake::Progress Socks5Handshake::OnCredentials() {
    const std::vector<unsigned char>& in = Input();
    if (in.size() < 2) {
        return Progress::Working;
    }
    if (in[0] != USER_PASSWORD_VERSION) {
        return Fail(KAVRA_PROXY_MALFORMED, Who() + " answered the credentials with " + Hex(in, 2) +
                                               ", which is not a user/password reply");
    }
    if (in[1] != 0) {
        return Fail(KAVRA_PROXY_AUTH_REFUSED,
                    Who() + " refused the credentials in the proxy URL (status " +
                        std::to_string(in[1]) + ")");
    }
    QueueConnect();
    return Expect(2);
}

void Socks5Handshake::QueueConnect() {
    m_step = Step::Connect;
    const std::string& host = TargetHost();
    // Laid out in place: GCC 12 at -O2 mistakes an insert behind an
    // initializer list for a write out of bounds.
    std::vector<unsigned char> request(5 + host.size() + 2);
    request[0] = VERSION;
    request[1] = CONNECT;
    request[2] = 0;
    request[3] = ATYP_NAME;
    request[4] = static_cast<unsigned char>(host.size());
    std::copy(host.begin(), host.end(), request.data() + 5);
    request[5 + host.size()] = static_cast<unsigned char>(TargetPort() >> 8);
    request[6 + host.size()] = static_cast<unsigned char>(TargetPort() & 0xFF);
    Queue(request);
}

ProxyHandshake::Progress Socks5Handshake::OnConnect() {
    const std::vector<unsigned char>& in = Input();
    if (in.size() < 2) {
        return Progress::Working;
    }
    const std::string target = JoinHostPort(TargetHost(), TargetPort());
    if (in[0] != VERSION) {
        return Fail(KAVRA_PROXY_MALFORMED,
                    Who() + " answered CONNECT with " + Hex(in, 2) + ", which is not SOCKS5");
    }
    if (in[1] != 0) {
        return Fail(KAVRA_PROXY_REFUSED, Who() + " refused to connect to " + target + ": reply " +
                                             std::to_string(in[1]) + ", " + ReplyText(in[1]));
    }
    if (in.size() < 5) {
        return Progress::Working;
    }
    // VER REP RSV ATYP, the bound address, its port: the address is of no
    // use here, but its length tells where the stream starts.
    std::size_t length = 0;
    switch (in[3]) {
    case ATYP_IPV4:
        length = 4 + 4;
        break;
    case ATYP_NAME:
        length = 4 + 1 + in[4];
        break;
    case ATYP_IPV6:
        length = 4 + 16;
        break;
    default:
        return Fail(KAVRA_PROXY_MALFORMED, Who() + " answered CONNECT with address type " +
                                               std::to_string(in[3]) +
                                               ", which SOCKS5 does not have");
    }
    length += 2;
    if (in.size() < length) {
        return Progress::Working;
    }
    Consume(length);
    return Finish();
}

ProxyHandshake::Progress Socks5Handshake::Expect(std::size_t used) {
    Consume(used);
    if (!Input().empty()) {
        return Fail(KAVRA_PROXY_MALFORMED,
                    Who() + " sent " + std::to_string(Input().size()) +
                        " bytes more than its reply; kavra had not asked yet");
    }
    return Progress::Working;
}

} // namespace kavra::os
