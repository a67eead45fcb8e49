#include "base/os/proxy/ProxyHandshake.h"

#include "base/os/proxy/HttpConnectHandshake.h"
#include "base/os/proxy/Socks5Handshake.h"

#include "kavra/TlsErrors.h"

#include <algorithm>
#include <cctype>

namespace kavra::os {

namespace {

// The longest name a SOCKS5 request carries, and DNS has.
constexpr std::size_t MAX_TARGET_HOST = 255;

} // namespace

std::unique_ptr<ProxyHandshake> ProxyHandshake::For(const ProxyEndpoint& proxy,
                                                    const std::string& host, unsigned short port) {
    if (proxy.Kind() == ProxyKind::Http) {
        return std::make_unique<HttpConnectHandshake>(proxy, host, port);
    }
    return std::make_unique<Socks5Handshake>(proxy, host, port);
}

ProxyHandshake::ProxyHandshake(const ProxyEndpoint& proxy, std::string host, unsigned short port)
    : m_proxy(proxy), m_host(std::move(host)), m_port(port) {
    std::string why;
    if (!TargetUsable(why)) {
        Fail(KAVRA_PROXY_SETUP, Who() + " cannot be asked for the target: " + why);
    }
}

bool ProxyHandshake::TargetUsable(std::string& why) const {
    if (m_host.empty() || m_host.size() > MAX_TARGET_HOST) {
        why = "its host name must have 1..255 characters";
        return false;
    }
    for (char c : m_host) {
        // Letters, digits and the marks of names and addresses: nothing that
        // could end a request line or a header.
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_' &&
            c != ':') {
            why = "its host name '" + m_host + "' holds characters no host name has";
            return false;
        }
    }
    if (m_port == 0) {
        why = "port 0";
        return false;
    }
    return true;
}

std::string ProxyHandshake::Who() const {
    return std::string(m_proxy.Kind() == ProxyKind::Http ? "the HTTP proxy "
                                                         : "the SOCKS5 proxy ") +
           m_proxy.HostPort();
}

void ProxyHandshake::Sent(std::size_t n) {
    m_output.erase(m_output.begin(),
                   m_output.begin() + static_cast<std::ptrdiff_t>(std::min(n, m_output.size())));
}

ProxyHandshake::Progress ProxyHandshake::Received(const void* data, std::size_t n) {
    if (m_progress == Progress::Failed) {
        return m_progress;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    m_input.insert(m_input.end(), bytes, bytes + n);
    return m_progress == Progress::Done ? m_progress : Parse();
}

ProxyHandshake::Progress ProxyHandshake::PeerClosed() {
    if (m_progress != Progress::Working) {
        return m_progress;
    }
    std::string partial;
    if (!m_input.empty()) {
        partial = " after " + std::to_string(m_input.size()) + " bytes of it";
    }
    return Fail(KAVRA_PROXY_CLOSED_IN_HANDSHAKE,
                Who() + " closed the connection while kavra waited for " + Awaiting() + partial);
}

ProxyHandshake::Progress ProxyHandshake::TimedOut() {
    if (m_progress != Progress::Working) {
        return m_progress;
    }
    const std::string what = m_output.empty() ? "did not send " + Awaiting() + " in time"
                                              : "did not take kavra's request in time";
    return Fail(KAVRA_PROXY_STALLED,
                Who() + " " + what + " (connecting to " + JoinHostPort(m_host, m_port) + ")");
}

std::vector<unsigned char> ProxyHandshake::TakeLeftover() {
    if (m_progress != Progress::Done) {
        return {};
    }
    return std::move(m_input);
}

void ProxyHandshake::Consume(std::size_t n) {
    m_input.erase(m_input.begin(),
                  m_input.begin() + static_cast<std::ptrdiff_t>(std::min(n, m_input.size())));
}

void ProxyHandshake::Queue(const std::vector<unsigned char>& bytes) {
    m_output.insert(m_output.end(), bytes.begin(), bytes.end());
}

ProxyHandshake::Progress ProxyHandshake::Finish() {
    m_progress = Progress::Done;
    return m_progress;
}

ProxyHandshake::Progress ProxyHandshake::Fail(int error, std::string detail) {
    m_progress = Progress::Failed;
    m_error = error;
    m_detail = std::move(detail);
    m_output.clear();
    m_input.clear();
    return m_progress;
}

} // namespace kavra::os
