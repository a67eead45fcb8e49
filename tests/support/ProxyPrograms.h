// Real proxies on loopback for tests: Debian's tinyproxy (HTTP CONNECT, with
// and without Basic authentication) and dante (SOCKS5 without
// authentication), each started with a configuration file the test writes,
// under `timeout` so that it ends within a minute even when the test does
// not. Where the program is missing, Why() says so and the test skips.
//
// Under Wine a test cannot start them: .ci/proxy-servers.sh starts them on
// the host's loopback and names their ports in KAVRA_TEST_TINYPROXY,
// KAVRA_TEST_TINYPROXY_AUTH and KAVRA_TEST_DANTE, which are then used
// instead (External()).
#pragma once

#include "support/ChildProcess.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kavra::test {

// The password of the tinyproxy that asks for Basic authentication (user "alice").
inline const char* const PROXY_PASSWORD = "Pw-7f3a";

// The program in PATH or the system's own folders, or "".
std::string FindProgram(const std::string& name);

// A loopback port nobody listens on now.
unsigned short FreePort();

class ProxyProgram {
public:
    // config gets the port and returns the configuration file's text;
    // args are the program's, with "{}" standing for the file's path.
    ProxyProgram(const std::string& name, const std::function<std::string(unsigned short)>& config,
                 std::vector<std::string> args, unsigned short port = 0);
    // The proxy the host runs on the port that variable names.
    explicit ProxyProgram(const char* variable);
    // Stops the proxy; its connections end with it.
    ~ProxyProgram();
    ProxyProgram(const ProxyProgram&) = delete;
    ProxyProgram& operator=(const ProxyProgram&) = delete;

    // Why the proxy is not there; "" when it listens.
    const std::string& Why() const { return m_why; }
    unsigned short Port() const { return m_port; }
    // Whether the proxy runs outside the test, which cannot stop it.
    bool External() const { return !m_process; }

private:
    void waitListening(const std::string& name);

    std::string m_why;
    std::filesystem::path m_folder;
    unsigned short m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// On a free port unless port is given.
std::unique_ptr<ProxyProgram> StartTinyproxy(bool withAuth, unsigned short port = 0);
std::unique_ptr<ProxyProgram> StartDante(unsigned short port = 0);

} // namespace kavra::test
