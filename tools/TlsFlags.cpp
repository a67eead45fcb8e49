#include "TlsFlags.h"

#include "Commands.h"

#include "base/os/tls/TlsEngine.h"

namespace kavra::tool {

namespace {

const char kNoTls[] = "this build of kavra has no TLS";

void requireTls() {
    if (!os::TlsEngine::Built()) {
        throw UsageError(kNoTls);
    }
}

void requirePair(const Args& args, const char* first, const char* second) {
    if (args.Has(first) != args.Has(second)) {
        throw UsageError(std::string("--") + first + " and --" + second + " go together");
    }
}

} // namespace

std::vector<OptionInfo> ClientTlsOptionRows() {
    return {{"tls", "", "speak TLS; the server's certificate is verified"},
            {"ca", "FILE", "trust the authorities in this PEM file instead of the system's"},
            {"server-name", "NAME", "the name the certificate must carry (default: HOST)"},
            {"cert", "FILE", "a client certificate (PEM), for servers that ask for one"},
            {"key", "FILE", "the client certificate's private key (PEM)"},
            {"insecure", "", "accept any certificate for any name (testing only)"}};
}

std::vector<OptionInfo> ServeTlsOptionRows() {
    return {{"tls-cert", "FILE", "serve TLS with this certificate (PEM, chain allowed)"},
            {"tls-key", "FILE", "the certificate's private key (PEM)"}};
}

kavra::TlsOptions ReadClientTls(const Args& args, const std::string& command) {
    kavra::TlsOptions tls;
    for (const OptionInfo& row : ClientTlsOptionRows()) {
        if (args.Has(row.name)) {
            requireTls();
            if (!args.Has("tls")) {
                throw UsageError("--" + row.name + " needs --tls");
            }
        }
    }
    if (!args.Has("tls")) {
        return tls;
    }
    requirePair(args, "cert", "key");
    if (args.Has("insecure") && (args.Has("ca") || args.Has("server-name"))) {
        throw UsageError("--insecure checks no certificate: it excludes --ca and --server-name");
    }
    tls.SetEnabled(true);
    tls.SetCaFile(args.Get("ca", ""));
    tls.SetServerName(args.Get("server-name", ""));
    tls.SetCertFile(args.Get("cert", ""));
    tls.SetKeyFile(args.Get("key", ""));
    if (args.Has("insecure")) {
        tls.SetInsecureSkipVerify(true);
        PrintError("kavra " + command +
                   ": warning: --insecure: the server's certificate is not checked, so anyone "
                   "on the path can read and change this connection");
    }
    return tls;
}

void ReadServeTls(const Args& args, PeerOptions& options) {
    if (!args.Has("tls-cert") && !args.Has("tls-key")) {
        return;
    }
    RequireServingTls();
    requirePair(args, "tls-cert", "tls-key");
    options.tlsCertFile = args.Get("tls-cert", "");
    options.tlsKeyFile = args.Get("tls-key", "");
}

void RequireServingTls() {
    requireTls();
#ifndef KAVRA_TOOL_SERVES_TLS
    // The one engine that has no server mode is Windows' own.
    throw UsageError("serving TLS is not built on Windows");
#endif
}

} // namespace kavra::tool
