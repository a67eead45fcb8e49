#include "Address.h"

#include "Args.h"

#include "serving/ServingApi.h"

namespace kavra::tool {

Address Address::Parse(const std::string& text, bool allowAnyPort) {
    const std::string bad = "bad address '" + text + "': ";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        throw UsageError(bad + "expected HOST:PORT");
    }
    std::string host = text.substr(0, colon);
    const std::string portText = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        throw UsageError(bad + "put an IPv6 address in brackets, as in [::1]:7000");
    }
    if (host.empty()) {
        throw UsageError(bad + "the host is missing");
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError(bad + "the port must be a number from " +
                         std::string(allowAnyPort ? "0" : "1") + " to 65535");
    }
    const unsigned long port = std::stoul(portText);
    if (port > 65535 || (port == 0 && !allowAnyPort)) {
        throw UsageError(bad + "the port must be a number from " +
                         std::string(allowAnyPort ? "0" : "1") + " to 65535");
    }
    Address address;
    address.m_host = host;
    address.m_port = static_cast<unsigned short>(port);
    return address;
}

std::string Address::ToString() const {
    return Format(m_host, m_port);
}

std::string Address::Format(const std::string& host, unsigned short port) {
    return os::FormatHostPort(host, port);
}

} // namespace kavra::tool
