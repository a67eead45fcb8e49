#include "base/os/proxy/ProxyEndpoint.h"

#include <cctype>
#include <charconv>

namespace kavra::os {

namespace {

// RFC 1929 carries each of user and password in a length byte.
constexpr std::size_t SOCKS5_MAX_CREDENTIAL = 255;
// The longest host name DNS has, and a SOCKS5 request can carry.
constexpr std::size_t MAX_HOST = 255;

// The URL as texts may show it: the user information replaced by "***@".
std::string Redacted(std::string_view url) {
    const std::size_t schemeEnd = url.find("://");
    const std::size_t at = url.rfind('@');
    if (schemeEnd == std::string_view::npos || at == std::string_view::npos || at < schemeEnd) {
        return std::string(url);
    }
    return std::string(url.substr(0, schemeEnd + 3)) + "***" + std::string(url.substr(at));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// Undoes %XX escapes; false on a broken escape.
bool PercentDecode(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// Splits "host:port" or "[v6]:port"; an empty string when it is fine, else
// what is wrong.
std::string SplitHostPort(std::string_view text, std::string& host, unsigned short& port) {
    std::string_view portText;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return "an IPv6 address without its closing ']'";
        }
        host = std::string(text.substr(1, close - 1));
        if (host.find(':') == std::string::npos) {
            return "brackets around something that is not an IPv6 address";
        }
        for (char c : host) {
            if (!IsIpv6Char(c)) {
                return "a bad IPv6 address";
            }
        }
        if (close + 1 >= text.size() || text[close + 1] != ':') {
            return "no port";
        }
        portText = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) {
            return "no port";
        }
        host = std::string(text.substr(0, colon));
        if (host.find(':') != std::string::npos) {
            return "an IPv6 address must be in brackets";
        }
        for (char c : host) {
            if (!IsNameChar(c)) {
                return "a bad host name";
            }
        }
        portText = text.substr(colon + 1);
    }
    if (host.empty()) {
        return "no host";
    }
    if (host.size() > MAX_HOST) {
        return "a host name longer than 255 characters";
    }
    unsigned int value = 0;
    const auto [end, fault] =
        std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (portText.empty() || fault != std::errc() || end != portText.data() + portText.size() ||
        value == 0 || value > 65535) {
        return portText.empty() ? "no port" : "a bad port (1..65535)";
    }
    port = static_cast<unsigned short>(value);
    return {};
}

} // namespace

std::string JoinHostPort(const std::string& host, unsigned short port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<ProxyEndpoint> ProxyEndpoint::Parse(std::string_view url, std::string& why) {
    auto fail = [&](const std::string& what) {
        why = "bad proxy URL '" + Redacted(url) + "': " + what;
        return std::nullopt;
    };
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) {
        return fail("expected http://HOST:PORT or socks5://HOST:PORT");
    }
    std::string scheme(url.substr(0, schemeEnd));
    for (char& c : scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    ProxyEndpoint endpoint;
    if (scheme == "http") {
        endpoint.m_kind = ProxyKind::Http;
    } else if (scheme == "socks5") {
        endpoint.m_kind = ProxyKind::Socks5;
    } else {
        return fail("unknown scheme '" + scheme + "' (http or socks5)");
    }
    std::string_view rest = url.substr(schemeEnd + 3);
    // A password may hold '@', '/' and ':' unescaped: the host part starts
    // after the last '@'.
    const std::size_t at = rest.rfind('@');
    std::string_view hostPart = at == std::string_view::npos ? rest : rest.substr(at + 1);
    if (!hostPart.empty() && hostPart.back() == '/') {
        hostPart.remove_suffix(1);
    }
    if (hostPart.find_first_of("/?#") != std::string_view::npos) {
        return fail("a proxy URL has no path, query or fragment");
    }
    const std::string hostFault = SplitHostPort(hostPart, endpoint.m_host, endpoint.m_port);
    if (!hostFault.empty()) {
        return fail(hostFault);
    }
    if (at == std::string_view::npos) {
        return endpoint;
    }
    const std::string_view info = rest.substr(0, at);
    const std::size_t colon = info.find(':');
    if (!PercentDecode(info.substr(0, colon), endpoint.m_user) ||
        (colon != std::string_view::npos &&
         !PercentDecode(info.substr(colon + 1), endpoint.m_password))) {
        return fail("a broken %XX escape in the user name or password");
    }
    if (endpoint.m_user.empty()) {
        return fail("credentials without a user name");
    }
    if (endpoint.m_kind == ProxyKind::Http && endpoint.m_user.find(':') != std::string::npos) {
        return fail("the user name of an HTTP proxy cannot contain ':'");
    }
    if (endpoint.m_kind == ProxyKind::Socks5 &&
        (endpoint.m_password.empty() || endpoint.m_user.size() > SOCKS5_MAX_CREDENTIAL ||
         endpoint.m_password.size() > SOCKS5_MAX_CREDENTIAL)) {
        return fail("a SOCKS5 user name and password must each have 1..255 bytes");
    }
    endpoint.m_hasCredentials = true;
    return endpoint;
}

std::string ProxyEndpoint::HostPort() const {
    return JoinHostPort(m_host, m_port);
}

std::string ProxyEndpoint::Describe() const {
    const std::string scheme = m_kind == ProxyKind::Http ? "http://" : "socks5://";
    std::string user;
    if (m_hasCredentials) {
        for (char c : m_user) {
            // The user name as typed, with what a URL cannot show escaped.
            if (IsNameChar(c)) {
                user += c;
            } else {
                static const char digits[] = "0123456789ABCDEF";
                const auto byte = static_cast<unsigned char>(c);
                user += '%';
                user += digits[byte >> 4];
                user += digits[byte & 0xF];
            }
        }
        user += ":***@";
    }
    return scheme + user + HostPort();
}

} // namespace kavra::os
