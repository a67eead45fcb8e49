#include "base/os/proxy/ProxyLayer.h"

#include "base/os/proxy/ProxyStep.h"
#include "kavra/TlsErrors.h"

#include <system_error>

namespace kavra::os {

ProxyLayer::ProxyLayer(const std::string& url) : m_proxy(ProxyEndpoint::Parse(url, m_why)) {}

int ProxyLayer::Ready(std::string& detail) const {
    if (m_proxy) {
        return 0;
    }
    detail = m_why;
    return KAVRA_PROXY_SETUP;
}

std::unique_ptr<SetupStep> ProxyLayer::Start(std::unique_ptr<ByteStream> next,
                                             const std::string& host, unsigned short port,
                                             int& error, std::string& detail) const {
    auto handshake = ProxyHandshake::For(*m_proxy, host, port);
    if (handshake->State() == ProxyHandshake::Progress::Failed) {
        error = handshake->Error();
        detail = handshake->Detail();
        return nullptr;
    }
    return std::make_unique<ProxyStep>(std::move(next), std::move(handshake));
}

void ProxyLayer::Route(std::string& host, unsigned short& port) const {
    host = m_proxy->Host();
    port = m_proxy->Port();
}

void ProxyLayer::ExplainConnectFailure(int& error, std::string& detail) const {
    const std::string kind = m_proxy->Kind() == ProxyKind::Http ? "HTTP" : "SOCKS5";
    // The TCP connect says EHOSTUNREACH for a name that does not resolve too.
    std::string why = error == EHOSTUNREACH ? "its name does not resolve, or no route leads to it"
                                            : std::generic_category().message(error);
    if (!detail.empty()) {
        why += ": " + detail;
    }
    detail = "the " + kind + " proxy " + m_proxy->HostPort() + " cannot be reached: " + why;
    error = KAVRA_PROXY_UNREACHABLE;
}

} // namespace kavra::os
