// Whether a TLS server's certificate is trusted, decided by the Schannel
// engine itself: Schannel is told to leave validation to its caller, so that
// a CA file or folder given by the user can take the place of the system's
// roots, and each failure gets its own code and a detail a person can act on.
//
// The chain is built by the system's chain engine from the certificate the
// server sent, the intermediates that came with it and, when given, the CAs
// of the PEM files; then the system's SSL policy checks the name and the
// validity period. With CAs given, the chain must end in one of them (the
// system's own roots do not count); without, in a root the system trusts.
// Revocation is not checked: private authorities publish no lists, and a
// check that needs the network would make a connect wait on a third party.
//
// Loaded in the engine's Create, then used by the socket's owner thread.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

namespace kavra::os {

// UTF-8 (paths and names as the options carry them) as the wide text that
// the system's calls take.
std::wstring WidenUtf8(const std::string& text);

// The bytes of host when it is a numeric IPv4 or IPv6 address (4 or 16), or
// false for a name.
bool NumericAddress(const std::string& host, std::vector<unsigned char>& bytes);

class TlsTrustWin32 {
public:
    // Reads the PEM certificates of caFile and of every file in caFolder
    // (either, both, or neither: the system's store). false with detail when
    // a path cannot be read or a CA file holds no certificate.
    bool Load(const std::string& caFile, const std::string& caFolder, std::string& detail);

    // 0 when server (as Schannel received it, with the server's other
    // certificates in its store) is trusted for serverName (a DNS name or a
    // numeric address), or KAVRA_TLS_UNTRUSTED, KAVRA_TLS_NAME_MISMATCH or
    // KAVRA_TLS_EXPIRED with detail set.
    int Check(PCCERT_CONTEXT server, const std::string& serverName, std::string& detail) const;

private:
    struct StoreCloser {
        void operator()(void* store) const;
    };
    using Store = std::unique_ptr<void, StoreCloser>;

    bool addFile(const std::string& path, bool mustHold, std::string& detail);
    bool addFolder(const std::string& folder, std::string& detail);
    bool rootIsGiven(PCCERT_CHAIN_CONTEXT chain) const;
    // The system's SSL policy; an empty serverName skips its name check (an
    // address, which Check matches itself).
    int checkPolicy(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT server,
                    const std::string& serverName, bool rootAccepted,
                    std::string& detail) const;
    int checkChainStatus(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT server, bool rootAccepted,
                         std::string& detail) const;

    // The given CAs; null when the system's roots decide.
    Store m_cas;
    // Where they came from, for details.
    std::string m_source;
};

} // namespace kavra::os
