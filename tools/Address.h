// HOST:PORT as typed on the command line: a name, a dotted IPv4 address, or
// an IPv6 address in brackets ([::1]:7000).
#pragma once

#include <string>

namespace kavra::tool {

class Address {
public:
    // Throws UsageError("bad address ...") unless text is HOST:PORT with a
    // port from 1 (0 too when allowAnyPort) to 65535.
    static Address Parse(const std::string& text, bool allowAnyPort);

    const std::string& Host() const { return m_host; }
    unsigned short Port() const { return m_port; }
    // host:port, with brackets around an IPv6 host.
    std::string ToString() const;
    static std::string Format(const std::string& host, unsigned short port);

private:
    std::string m_host;
    unsigned short m_port = 0;
};

} // namespace kavra::tool
