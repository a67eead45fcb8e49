#include "SelfSignedCertificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <system_error>

namespace kavra::tool {

namespace {

namespace fs = std::filesystem;

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using KeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BigNumPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

constexpr long kValidBeforeNowS = 3600;
constexpr long kValidAfterNowS = 24 * 3600;

[[noreturn]] void fail(const std::string& what) {
    char text[256] = "no detail";
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    throw std::runtime_error("cannot make a certificate: " + what + " (" + text + ")");
}

KeyPtr makeKey() {
    const KeyContextPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_group_name(context.get(), "P-256") != 1 ||
        EVP_PKEY_generate(context.get(), &key) != 1) {
        fail("EC P-256 key");
    }
    return KeyPtr(key);
}

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    const ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    if (!extension || X509_add_ext(cert, extension.get(), -1) != 1) {
        fail(std::string("extension ") + OBJ_nid2sn(nid));
    }
}

void setSerial(X509* cert) {
    const BigNumPtr serial(BN_new());
    if (!serial || BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) == nullptr) {
        fail("serial number");
    }
}

CertPtr makeCertificate(EVP_PKEY* key) {
    CertPtr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1) {
        fail("X.509 structure");
    }
    setSerial(cert.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto text = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    if (X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kValidBeforeNowS) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidAfterNowS) == nullptr ||
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, text("kavra"), -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text("127.0.0.1"), -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key) != 1) {
        fail("names and validity");
    }
    // Its own authority: a client that trusts this file as its CA accepts it.
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), NID_subject_key_identifier, "hash");
    addExtension(cert.get(), NID_authority_key_identifier, "keyid:always");
    addExtension(cert.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    if (X509_sign(cert.get(), key, EVP_sha256()) == 0) {
        fail("signature");
    }
    return cert;
}

template <typename Write> std::string pem(Write&& write) {
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !write(bio.get())) {
        fail("PEM encoding");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

// A folder of our own: created here, so no other user's files are in it.
std::string freshFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const fs::path folder =
            fs::temp_directory_path() /
            ("kavra-tls-" + std::to_string(random()) + "-" + std::to_string(random()));
        std::error_code error;
        if (fs::create_directory(folder, error)) {
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, error);
            return folder.string();
        }
    }
    throw std::runtime_error("cannot make a certificate: no new folder under " +
                             fs::temp_directory_path().string());
}

void writeFile(const std::string& path, const std::string& content, bool secret) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (secret) {
        std::error_code ignored;
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ignored);
    }
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot make a certificate: cannot write " + path);
    }
}

} // namespace

SelfSignedCertificate::SelfSignedCertificate() {
    const KeyPtr key = makeKey();
    const CertPtr cert = makeCertificate(key.get());
    const std::string certPem = pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); });
    const std::string keyPem = pem([&](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    m_folder = freshFolder();
    m_certFile = (fs::path(m_folder) / "cert.pem").string();
    m_keyFile = (fs::path(m_folder) / "key.pem").string();
    try {
        writeFile(m_keyFile, keyPem, true);
        writeFile(m_certFile, certPem, false);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
        throw;
    }
}

SelfSignedCertificate::~SelfSignedCertificate() {
    std::error_code ignored;
    fs::remove_all(m_folder, ignored);
}

} // namespace kavra::tool
