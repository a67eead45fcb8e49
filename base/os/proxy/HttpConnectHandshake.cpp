#include "base/os/proxy/HttpConnectHandshake.h"

#include "kavra/TlsErrors.h"

#include <algorithm>
#include <cctype>

namespace kavra::os {

namespace {

// The longest piece of a reply line a detail quotes.
constexpr std::size_t MAX_QUOTED = 200;

// A line of the proxy's as a detail may show it: printable ASCII only, cut short.
std::string Quoted(const std::string& line) {
    std::string out;
    for (char c : line.substr(0, MAX_QUOTED)) {
        out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    }
    return "'" + out + (line.size() > MAX_QUOTED ? "...'" : "'");
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The schemes a 407 reply's Proxy-Authenticate headers offer, for the detail.
std::string OfferedSchemes(const std::vector<std::string>& lines) {
    std::string schemes;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos ||
            Lower(lines[i].substr(0, colon)) != "proxy-authenticate") {
            continue;
        }
        const std::size_t start = lines[i].find_first_not_of(' ', colon + 1);
        if (start == std::string::npos) {
            continue;
        }
        const std::size_t end = lines[i].find_first_of(" ,", start);
        schemes += (schemes.empty() ? "" : ", ") + lines[i].substr(start, end - start);
    }
    return schemes;
}

} // namespace

namespace {

unsigned Octet(char byte) {
    return static_cast<unsigned char>(byte);
}

} // namespace

std::string Base64(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned value = Octet(bytes[i]) << 16U | Octet(bytes[i + 1]) << 8U | Octet(bytes[i + 2]);
        out += alphabet[value >> 18 & 63];
        out += alphabet[value >> 12 & 63];
        out += alphabet[value >> 6 & 63];
        out += alphabet[value & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const unsigned value = Octet(bytes[i]) << 16U | (two ? Octet(bytes[i + 1]) << 8U : 0U);
        out += alphabet[value >> 18 & 63];
        out += alphabet[value >> 12 & 63];
        out += two ? alphabet[value >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

HttpConnectHandshake::HttpConnectHandshake(const ProxyEndpoint& proxy, const std::string& host,
                                           unsigned short port)
    : ProxyHandshake(proxy, host, port) {
    if (State() != Progress::Working) {
        return;
    }
    const std::string target = JoinHostPort(host, port);
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (proxy.HasCredentials()) {
        request +=
            "Proxy-Authorization: Basic " + Base64(proxy.User() + ":" + proxy.Password()) + "\r\n";
    }
    request += "\r\n";
    Queue(std::vector<unsigned char>(request.begin(), request.end()));
}

ProxyHandshake::Progress HttpConnectHandshake::Parse() {
    const std::vector<unsigned char>& input = Input();
    // The head ends at an empty line; lines end in CRLF or, from a lax
    // proxy, a bare LF. The scan resumes where the last one stopped, so a
    // proxy that sends a byte at a time costs no more than one that does not.
    std::size_t end = 0;
    for (std::size_t i = m_scanned; i < input.size() && end == 0; ++i) {
        if (input[i] == '\n' && i > 0 &&
            (input[i - 1] == '\n' || (input[i - 1] == '\r' && i > 1 && input[i - 2] == '\n'))) {
            end = i + 1;
        }
    }
    m_scanned = input.size();
    if (end > MAX_REPLY_HEAD) {
        end = 0;
    }
    if (end == 0) {
        // Not HTTP at all shows in its first bytes; waiting longer would
        // only end in a stall.
        const std::string front(
            input.begin(),
            input.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(input.size(), 5)));
        if (front != std::string("HTTP/").substr(0, front.size())) {
            return Fail(KAVRA_PROXY_MALFORMED, Who() + " answered CONNECT with " + Quoted(front) +
                                                   "..., which is not HTTP (a SOCKS proxy?)");
        }
        return input.size() > MAX_REPLY_HEAD
                   ? Fail(KAVRA_PROXY_MALFORMED, Who() + " sent a reply head longer than " +
                                                     std::to_string(MAX_REPLY_HEAD) + " bytes")
                   : Progress::Working;
    }
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < end; ++i) {
        if (input[i] != '\n') {
            line += static_cast<char>(input[i]);
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        line.clear();
    }
    Consume(end);
    return Judge(lines);
}

ProxyHandshake::Progress HttpConnectHandshake::Judge(const std::vector<std::string>& lines) {
    const std::string& status = lines.empty() ? std::string() : lines.front();
    // "HTTP/1.1 200 Connection established": a version, a space, three digits.
    const bool wellFormed = status.size() >= 12 && status.compare(0, 5, "HTTP/") == 0 &&
                            status.find(' ') != std::string::npos;
    const std::size_t space = status.find(' ');
    const std::string code = wellFormed ? status.substr(space + 1, 3) : std::string();
    if (!wellFormed || code.size() != 3 ||
        !std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (status.size() > space + 4 && status[space + 4] != ' ')) {
        return Fail(KAVRA_PROXY_MALFORMED,
                    Who() + " answered CONNECT with a bad status line " + Quoted(status));
    }
    const std::string target = JoinHostPort(TargetHost(), TargetPort());
    if (code[0] == '2') {
        return Finish();
    }
    // Before the tunnel stands only the proxy can ask for credentials;
    // some proxies answer wrong ones with 401 instead of 407.
    if (code == "407" || code == "401") {
        const std::string offered = OfferedSchemes(lines);
        const std::string asks = offered.empty() ? "" : " (it offers " + offered + ")";
        if (Proxy().HasCredentials()) {
            return Fail(KAVRA_PROXY_AUTH_REFUSED, Who() +
                                                      " refused the credentials in the proxy URL" +
                                                      asks + ": " + Quoted(status));
        }
        return Fail(KAVRA_PROXY_AUTH_REQUIRED,
                    Who() + " asks for credentials" + asks +
                        "; give them in the proxy URL: " + Quoted(status));
    }
    return Fail(KAVRA_PROXY_REFUSED,
                Who() + " refused to connect to " + target + ": " + Quoted(status));
}

} // namespace kavra::os
