#include "support/TlsPeers.h"

#include "support/Slowdown.h"
#include "support/TestProcess.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>

namespace kavra::test {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr char PATH_SEPARATOR = ';';
constexpr const char* OPENSSL_NAME = "openssl.exe";
#else
constexpr char PATH_SEPARATOR = ':';
constexpr const char* OPENSSL_NAME = "openssl";
#endif

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

// A request configuration of its own, so that the system's openssl.cnf
// adds nothing.
std::string RequestConfig(const std::string& commonName, const std::string& extensions) {
    return "[req]\ndistinguished_name = dn\nprompt = no\nx509_extensions = ext\n"
           "[dn]\nCN = " + commonName + "\n[ext]\n" + extensions;
}

std::string LeafExtensions(const std::string& names) {
    return "basicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\nsubjectAltName = " +
           names + "\n";
}

} // namespace

std::string FindOpenSsl() {
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const std::size_t end = rest.find(PATH_SEPARATOR);
        const fs::path candidate = fs::path(rest.substr(0, end)) / OPENSSL_NAME;
        std::error_code ec;
        if (!candidate.parent_path().empty() && fs::is_regular_file(candidate, ec)) {
            return candidate.string();
        }
        rest = end == std::string::npos ? "" : rest.substr(end + 1);
    }
    return "";
}

TestCertificates::TestCertificates(const std::string& openssl) : m_openssl(openssl) {
    std::random_device random;
    const fs::path folder = fs::temp_directory_path() / ("kavra-tls-" + std::to_string(random()));
    std::error_code ec;
    if (!fs::create_directories(folder, ec)) {
        m_why = "cannot make " + folder.string() + ": " + ec.message();
        return;
    }
    m_folder = folder.string();
    const std::string local = "IP:127.0.0.1, DNS:localhost";
    const bool made = makeSelfSigned("ca", "", true) && makeSigned("good", local, "30") &&
                      makeSigned("expired", local, "-1") &&
                      makeSigned("other", "DNS:other.invalid, IP:10.255.255.1", "30") &&
                      makeSelfSigned("self", local, false);
    if (!made && m_why.empty()) {
        m_why = "openssl could not make the test certificates";
    }
}

TestCertificates::~TestCertificates() {
    if (!m_folder.empty()) {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
}

std::string TestCertificates::file(const std::string& name) const {
    return (fs::path(m_folder) / name).string();
}

bool TestCertificates::run(const std::vector<std::string>& args) {
    const ProgramResult result = RunProgram(m_openssl, args);
    if (result.exitCode != 0) {
        m_why = "openssl " + args.front() + " failed: " + result.output;
        return false;
    }
    return true;
}

bool TestCertificates::makeSelfSigned(const std::string& name, const std::string& names, bool ca) {
    const std::string extensions =
        ca ? "basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
             "subjectKeyIdentifier = hash\n"
           : LeafExtensions(names);
    const std::string config = file(name + ".cnf");
    if (!WriteText(config, RequestConfig(ca ? "kavra test CA" : "127.0.0.1", extensions))) {
        m_why = "cannot write " + config;
        return false;
    }
    return run({"req", "-x509", "-config", config, "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:P-256", "-nodes", "-days", "30", "-keyout", file(name + ".key"),
                "-out", file(name + ".pem")});
}

bool TestCertificates::makeSigned(const std::string& name, const std::string& names,
                                  const std::string& days) {
    const std::string config = file(name + ".cnf");
    const std::string extensions = file(name + ".ext");
    if (!WriteText(config, RequestConfig(name + " server", "")) ||
        !WriteText(extensions, LeafExtensions(names))) {
        m_why = "cannot write " + config;
        return false;
    }
    static int serial = 1;
    return run({"req", "-new", "-config", config, "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:P-256", "-nodes", "-keyout", file(name + ".key"), "-out",
                file(name + ".csr")}) &&
           run({"x509", "-req", "-in", file(name + ".csr"), "-CA", Ca(), "-CAkey", file("ca.key"),
                "-set_serial", std::to_string(++serial), "-days", days, "-extfile", extensions,
                "-out", file(name + ".pem")});
}

OpenSslServer::OpenSslServer(const std::string& openssl, const CertPair& pair,
                             const std::vector<std::string>& extra)
    : m_child(openssl,
              [&] {
                  std::vector<std::string> args{"s_server", "-accept", "127.0.0.1:0", "-cert",
                                                pair.cert, "-key", pair.key, "-naccept", "1",
                                                "-rev"};
                  args.insert(args.end(), extra.begin(), extra.end());
                  return args;
              }(),
              "") {
    const std::string mark = "ACCEPT 127.0.0.1:";
    const auto portLine = [&] {
        const std::size_t at = m_out.find(mark);
        return at != std::string::npos && m_out.find('\n', at) != std::string::npos;
    };
    if (pumpUntil(portLine, Patient(std::chrono::seconds(10)))) {
        m_port = static_cast<unsigned short>(
            std::stoi(m_out.substr(m_out.find(mark) + mark.size())));
    }
}

bool OpenSslServer::WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout) {
    return pumpUntil([&] { return m_out.find(needle) != std::string::npos; }, timeout);
}

bool OpenSslServer::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_exited || !m_child.Started()) {
            return false;
        }
        m_child.Pump(static_cast<int>(left.count()), m_out, m_err);
        if (m_child.Poll().has_value()) {
            m_exited = true;
            while (m_child.Pump(0, m_out, m_err)) {
            }
            return done();
        }
    }
    return true;
}

void OpenSslServer::Kill() {
    if (!m_exited) {
        m_child.Kill();
        m_exited = true;
    }
}

} // namespace kavra::test
