#include "support/ProxyPrograms.h"

#include "support/Slowdown.h"
#include "support/TestSocket.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>

namespace kavra::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string rest = std::string(path != nullptr ? path : "") + ":/usr/sbin:/usr/bin";
    while (!rest.empty()) {
        const std::size_t end = rest.find(':');
        const fs::path candidate = fs::path(rest.substr(0, end)) / name;
        std::error_code ec;
        if (!candidate.parent_path().empty() && fs::is_regular_file(candidate, ec)) {
            return candidate.string();
        }
        rest = end == std::string::npos ? "" : rest.substr(end + 1);
    }
    return "";
}

unsigned short FreePort() {
    int error = 0;
    const net::Handle listener = net::ListenLoopback(net::Family::Ipv4, 0, 1, false, error);
    const unsigned short port = net::LocalPort(listener);
    net::Close(listener);
    return port;
}

ProxyProgram::ProxyProgram(const std::string& name,
                           const std::function<std::string(unsigned short)>& config,
                           std::vector<std::string> args, unsigned short port) {
#ifdef _WIN32
    m_why = "a Windows build cannot start " + name + " (.ci/proxy-servers.sh runs it on the host)";
    return;
#endif
    const std::string program = FindProgram(name);
    if (program.empty()) {
        m_why = name + " is not installed (tools/install-deps.sh installs it)";
        return;
    }
    // ctest runs each case in a process of its own, in parallel: the
    // folder's name must differ between processes.
    m_folder = fs::temp_directory_path() /
               ("kavra-proxy-" + name + "-" + std::to_string(std::random_device{}()));
    fs::create_directories(m_folder);
    m_port = port != 0 ? port : FreePort();
    const fs::path file = m_folder / (name + ".conf");
    std::ofstream(file) << config(m_port);
    for (std::string& arg : args) {
        arg = arg == "{}" ? file.string() : arg;
    }
    args.insert(args.begin(), {"60", program});
    m_process = std::make_unique<ChildProcess>("/usr/bin/timeout", args, "");
    waitListening(name);
}

ProxyProgram::ProxyProgram(const char* variable) {
    const char* port = std::getenv(variable);
    m_port = static_cast<unsigned short>(std::strtoul(port != nullptr ? port : "0", nullptr, 10));
    if (m_port == 0) {
        m_why = std::string(variable) + " names no port";
    }
}

ProxyProgram::~ProxyProgram() {
    // `timeout` passes SIGINT on to the proxy and ends with it; killing
    // `timeout` itself would leave the proxy running.
    if (m_process && m_process->Interrupt()) {
        const auto deadline = std::chrono::steady_clock::now() + Patient(5s);
        std::string out;
        while (!m_process->Poll() && std::chrono::steady_clock::now() < deadline) {
            m_process->Pump(20, out, out);
        }
    }
    m_process.reset();
    std::error_code ec;
    fs::remove_all(m_folder, ec);
}

void ProxyProgram::waitListening(const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + Patient(10s);
    std::string out;
    std::string err;
    while (std::chrono::steady_clock::now() < deadline) {
        const net::Handle probe = net::ConnectLoopback(m_port);
        if (probe != net::INVALID_HANDLE) {
            net::Close(probe);
            return;
        }
        if (m_process->Poll()) {
            break;
        }
        m_process->Pump(20, out, err);
    }
    m_why = name + " did not start listening: " + out + err;
}

std::unique_ptr<ProxyProgram> StartTinyproxy(bool withAuth, unsigned short port) {
    const char* variable = withAuth ? "KAVRA_TEST_TINYPROXY_AUTH" : "KAVRA_TEST_TINYPROXY";
    if (std::getenv(variable) != nullptr) {
        return std::make_unique<ProxyProgram>(variable);
    }
    return std::make_unique<ProxyProgram>(
        "tinyproxy",
        [withAuth](unsigned short listen) {
            return "Port " + std::to_string(listen) +
                   "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nLogLevel Error\nAllow "
                   "127.0.0.1\n" +
                   (withAuth ? std::string("BasicAuth alice ") + PROXY_PASSWORD + "\n" : "");
        },
        std::vector<std::string>{"-d", "-c", "{}"}, port);
}

std::unique_ptr<ProxyProgram> StartDante(unsigned short port) {
    if (std::getenv("KAVRA_TEST_DANTE") != nullptr) {
        return std::make_unique<ProxyProgram>("KAVRA_TEST_DANTE");
    }
    return std::make_unique<ProxyProgram>(
        "danted",
        [](unsigned short listen) {
            return "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(listen) +
                   "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                   "user.unprivileged: nobody\n"
                   "client pass { from: 127.0.0.1/32 to: 0.0.0.0/0 }\n"
                   "socks pass { from: 127.0.0.1/32 to: 0.0.0.0/0 command: connect }\n";
        },
        std::vector<std::string>{"-f", "{}", "-N", "1"}, port);
}

} // namespace kavra::test
