// Winsock's header first: the numeric addresses come from the platform
// layer's lookup, as socket addresses.
#include "base/os/Winsock.h"

#include "base/os/tls/TlsTrustWin32.h"

#include "kavra/TlsErrors.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kavra::os {

namespace {

// The SSL policy's own flag (wininet.h spells it; the value is the policy's).
constexpr DWORD IGNORE_UNKNOWN_CA = 0x00000100;
// What a chain may report and still be trusted: revocation is not asked for.
constexpr DWORD TOLERATED_CHAIN_ERRORS =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
// A CA file is text a person wrote or a tool made; anything this large is
// the wrong file, and is refused before it is read into memory.
constexpr std::int64_t MAX_CA_FILE_BYTES = 16 * 1024 * 1024;

constexpr char PEM_BEGIN[] = "-----BEGIN CERTIFICATE-----";
constexpr char PEM_END[] = "-----END CERTIFICATE-----";

std::string narrow(const wchar_t* text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::string hex32(unsigned long code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", code);
    return text;
}

// The calling thread's last error as the system words it, with its number.
std::string lastErrorText() {
    const DWORD code = ::GetLastError();
    char text[256] = "";
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    return (n > 0 ? std::string(text) + ", " : std::string()) + "error " + std::to_string(code);
}

bool readFile(const std::string& path, std::string& bytes, std::string& detail) {
    const HANDLE file = ::CreateFileW(WidenUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        detail = "cannot open '" + path + "' (" + lastErrorText() + ")";
        return false;
    }
    LARGE_INTEGER size{};
    DWORD got = 0;
    bool ok = ::GetFileSizeEx(file, &size) != 0;
    if (ok && size.QuadPart > MAX_CA_FILE_BYTES) {
        detail = "'" + path + "' is larger than 16 MiB: not a file of certificates";
    } else if (ok) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        ok = ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) != 0 &&
             got == bytes.size();
    }
    if (!ok) {
        detail = "cannot read '" + path + "' (" + lastErrorText() + ")";
    }
    ::CloseHandle(file);
    return ok && size.QuadPart <= MAX_CA_FILE_BYTES;
}

// Adds each PEM certificate of text to store: the count added, or -1 with
// detail when a block is not a certificate.
int addPemCertificates(HCERTSTORE store, const std::string& text, const std::string& path,
                       std::string& detail) {
    int added = 0;
    std::size_t at = 0;
    while ((at = text.find(PEM_BEGIN, at)) != std::string::npos) {
        const std::size_t end = text.find(PEM_END, at);
        if (end == std::string::npos) {
            detail = "'" + path + "': a certificate has no END line";
            return -1;
        }
        const auto length = static_cast<DWORD>(end + sizeof PEM_END - 1 - at);
        DWORD size = 0;
        std::vector<BYTE> der;
        bool ok = ::CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER,
                                         nullptr, &size, nullptr, nullptr) != 0;
        if (ok) {
            der.resize(size);
            ok = ::CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER,
                                        der.data(), &size, nullptr, nullptr) != 0 &&
                 ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                    CERT_STORE_ADD_USE_EXISTING, nullptr) != 0;
        }
        if (!ok) {
            detail = "'" + path + "': certificate " + std::to_string(added + 1) +
                     " cannot be read (" + lastErrorText() + ")";
            return -1;
        }
        ++added;
        at = end;
    }
    return added;
}

std::string certName(PCCERT_CONTEXT cert, DWORD flags) {
    wchar_t name[256];
    ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, 256);
    return narrow(name);
}

std::string utcText(const FILETIME& time) {
    SYSTEMTIME t{};
    ::FileTimeToSystemTime(&time, &t);
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string addressText(const CRYPT_DATA_BLOB& ip) {
    char text[48] = "";
    if (ip.cbData == 4) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip.pbData[0], ip.pbData[1], ip.pbData[2],
                      ip.pbData[3]);
    } else if (ip.cbData == 16) {
        for (int i = 0; i < 16; i += 2) {
            char group[8];
            std::snprintf(group, sizeof group, i ? ":%x" : "%x", ip.pbData[i] << 8 | ip.pbData[i + 1]);
            std::strncat(text, group, sizeof text - std::strlen(text) - 1);
        }
    }
    return text;
}

// The DNS names and addresses the certificate is valid for, for a detail:
// its subjectAltName entries, else its common name.
std::string certifiedNames(PCCERT_CONTEXT cert) {
    const CERT_INFO* info = cert->pCertInfo;
    const CERT_EXTENSION* ext =
        ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (ext == nullptr ||
        !::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                               ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
        return certName(cert, 0);
    }
    std::string out;
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        std::string one;
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
            one = narrow(entry.pwszDNSName);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
            one = addressText(entry.IPAddress);
        }
        if (!one.empty()) {
            out += (out.empty() ? "" : ", ") + one;
        }
    }
    ::LocalFree(names);
    return out.empty() ? certName(cert, 0) : out;
}

// The detail for a chain whose policy says a certificate is outside its
// validity period: the first such certificate, and its date that failed.
std::string timeDetail(PCCERT_CHAIN_CONTEXT chain) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i) {
        PCCERT_CONTEXT cert = simple->rgpElement[i]->pCertContext;
        const LONG when = ::CertVerifyTimeValidity(nullptr, cert->pCertInfo);
        if (when > 0) {
            return "certificate '" + certName(cert, 0) + "' has expired (notAfter " +
                   utcText(cert->pCertInfo->NotAfter) + ")";
        }
        if (when < 0) {
            return "certificate '" + certName(cert, 0) + "' is not valid yet (notBefore " +
                   utcText(cert->pCertInfo->NotBefore) + ")";
        }
    }
    return "a certificate of the chain is outside its validity period";
}

std::string untrustedDetail(DWORD status, PCCERT_CONTEXT server) {
    const std::string who = "certificate '" + certName(server, 0) + "'";
    switch (status) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
        return who + " (issuer '" + certName(server, CERT_NAME_ISSUER_FLAG) +
               "') does not lead to a root in the system's trusted store; give the "
               "issuing CA as a CA file to trust a private authority";
    case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
        return who + ": a signature in its chain is not valid";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
        return who + " is not meant for TLS servers (extended key usage)";
    case static_cast<DWORD>(TRUST_E_BASIC_CONSTRAINTS):
        return who + ": an issuer in its chain is not a CA (basic constraints)";
    default:
        return who + " was refused by the system's SSL policy (" + hex32(status) + ")";
    }
}

// Whether the certificate's subjectAltName lists the address: an address is
// matched against iPAddress entries only, never against a name.
bool certifiesAddress(PCCERT_CONTEXT cert, const std::vector<unsigned char>& address) {
    const CERT_INFO* info = cert->pCertInfo;
    const CERT_EXTENSION* ext =
        ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (ext == nullptr ||
        !::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                               ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == address.size() &&
                std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    ::LocalFree(names);
    return found;
}

} // namespace

bool NumericAddress(const std::string& host, std::vector<unsigned char>& bytes) {
    std::vector<Address> found;
    if (host.empty() || LookupAddresses(host, 0, true, found) != 0) {
        return false;
    }
    const Address& first = found.front();
    const unsigned char* raw = nullptr;
    std::size_t n = 0;
    if (first.family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(first.bytes.data());
        raw = reinterpret_cast<const unsigned char*>(&in->sin_addr);
        n = 4;
    } else if (first.family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(first.bytes.data());
        raw = reinterpret_cast<const unsigned char*>(&in6->sin6_addr);
        n = 16;
    }
    bytes.assign(raw, raw + n);
    return n > 0;
}

std::wstring WidenUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

void TlsTrustWin32::StoreCloser::operator()(void* store) const {
    ::CertCloseStore(store, 0);
}

bool TlsTrustWin32::Load(const std::string& caFile, const std::string& caFolder,
                         std::string& detail) {
    if (caFile.empty() && caFolder.empty()) {
        return true;
    }
    m_cas.reset(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!m_cas) {
        detail = "cannot make a certificate store (" + lastErrorText() + ")";
        return false;
    }
    m_source = caFile.empty() ? "CA folder '" + caFolder + "'"
               : caFolder.empty() ? "CA file '" + caFile + "'"
                                  : "CA file '" + caFile + "' and folder '" + caFolder + "'";
    return (caFile.empty() || addFile(caFile, true, detail)) &&
           (caFolder.empty() || addFolder(caFolder, detail));
}

bool TlsTrustWin32::addFile(const std::string& path, bool mustHold, std::string& detail) {
    std::string text;
    if (!readFile(path, text, detail)) {
        return false;
    }
    const int added = addPemCertificates(m_cas.get(), text, path, detail);
    if (added == 0 && mustHold) {
        detail = "CA file '" + path + "' holds no PEM certificate (" + PEM_BEGIN + ")";
    }
    return added > 0 || (added == 0 && !mustHold);
}

bool TlsTrustWin32::addFolder(const std::string& folder, std::string& detail) {
    WIN32_FIND_DATAW entry{};
    const HANDLE find = ::FindFirstFileW(WidenUtf8(folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        detail = "cannot read CA folder '" + folder + "' (" + lastErrorText() + ")";
        return false;
    }
    bool ok = true;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ok = addFile(folder + "\\" + narrow(entry.cFileName), false, detail);
        }
    } while (ok && ::FindNextFileW(find, &entry));
    ::FindClose(find);
    if (ok && ::CertEnumCertificatesInStore(m_cas.get(), nullptr) == nullptr) {
        detail = "CA folder '" + folder + "' holds no PEM certificate";
        ok = false;
    }
    return ok;
}

int TlsTrustWin32::Check(PCCERT_CONTEXT server, const std::string& serverName,
                         std::string& detail) const {
    Store others(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    if (others) {
        ::CertAddStoreToCollection(others.get(), server->hCertStore, 0, 0);
        if (m_cas) {
            ::CertAddStoreToCollection(others.get(), m_cas.get(), 0, 0);
        }
    }
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!::CertGetCertificateChain(nullptr, server, nullptr, others.get(), &para, 0, nullptr,
                                   &chain)) {
        detail = "the server's certificate chain cannot be built (" + lastErrorText() + ")";
        return KAVRA_TLS_UNTRUSTED;
    }
    const bool given = m_cas && rootIsGiven(chain);
    int error = 0;
    if (m_cas && !given) {
        detail = "certificate '" + certName(server, 0) + "' (issuer '" +
                 certName(server, CERT_NAME_ISSUER_FLAG) + "') is not signed by a CA of the " +
                 m_source;
        error = KAVRA_TLS_UNTRUSTED;
    } else {
        std::vector<unsigned char> address;
        const bool numeric = NumericAddress(serverName, address);
        error = checkPolicy(chain, server, numeric ? std::string() : serverName, given, detail);
        if (error == 0) {
            error = checkChainStatus(chain, server, given, detail);
        }
        if (error == 0 && numeric && !certifiesAddress(server, address)) {
            detail = "certificate for '" + certifiedNames(server) + "' does not name the address " +
                     serverName;
            error = KAVRA_TLS_NAME_MISMATCH;
        }
    }
    ::CertFreeCertificateChain(chain);
    return error;
}

// The chain engine's own verdict, which the policy is not relied on to
// repeat (Wine's passes a chain that ends before any root).
int TlsTrustWin32::checkChainStatus(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT server,
                                    bool rootAccepted, std::string& detail) const {
    DWORD errors = chain->TrustStatus.dwErrorStatus & ~TOLERATED_CHAIN_ERRORS;
    if (rootAccepted) {
        errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    }
    if (errors == 0) {
        return 0;
    }
    if (errors & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT)) {
        detail = untrustedDetail(static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), server);
        return KAVRA_TLS_UNTRUSTED;
    }
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
        detail = timeDetail(chain);
        return KAVRA_TLS_EXPIRED;
    }
    detail = "certificate '" + certName(server, 0) + "' has a chain the system refuses (trust status " +
             hex32(errors) + ")";
    return KAVRA_TLS_UNTRUSTED;
}

bool TlsTrustWin32::rootIsGiven(PCCERT_CHAIN_CONTEXT chain) const {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT found = ::CertFindCertificateInStore(m_cas.get(), X509_ASN_ENCODING, 0,
                                                        CERT_FIND_EXISTING, root, nullptr);
    if (found == nullptr) {
        return false;
    }
    ::CertFreeCertificateContext(found);
    // A root of the chain is one whose issuer the engine did not find; only a
    // self-signed one is an anchor, as with OpenSSL's verify locations.
    return ::CertCompareCertificateName(X509_ASN_ENCODING, &root->pCertInfo->Subject,
                                        &root->pCertInfo->Issuer) != 0;
}

int TlsTrustWin32::checkPolicy(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT server,
                               const std::string& serverName, bool rootAccepted,
                               std::string& detail) const {
    std::wstring name = WidenUtf8(serverName);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = rootAccepted ? IGNORE_UNKNOWN_CA : 0;
    ssl.pwszServerName = name.empty() ? nullptr : name.data();
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.dwFlags = rootAccepted ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status)) {
        detail = "the system's SSL policy cannot be applied (" + lastErrorText() + ")";
        return KAVRA_TLS_UNTRUSTED;
    }
    switch (status.dwError) {
    case 0:
        return 0;
    case static_cast<DWORD>(CERT_E_EXPIRED):
        detail = timeDetail(chain);
        return KAVRA_TLS_EXPIRED;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
        detail = "certificate for '" + certifiedNames(server) + "' does not name '" +
                 serverName + "'";
        return KAVRA_TLS_NAME_MISMATCH;
    default:
        detail = untrustedDetail(status.dwError, server);
        return KAVRA_TLS_UNTRUSTED;
    }
}

} // namespace kavra::os
