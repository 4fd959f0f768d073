#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

namespace test_certificates {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test certificates: ") + what);
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    check(key != nullptr, "no key");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(extension != nullptr, "bad extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// Serial numbers differ within a run, as clients expect of one issuer.
long nextSerial() {
    static std::atomic<long> serial{1000};
    return ++serial;
}

Cert newCertificate(const std::string& commonName, EVP_PKEY* key, long notBefore, long notAfter) {
    Cert cert(X509_new(), X509_free);
    check(cert != nullptr, "no certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), nextSerial());
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return cert;
}

std::string pem(X509* cert) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string pem(EVP_PKEY* key) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

bool isIpAddress(const std::string& name) {
    return name.find_first_not_of("0123456789.") == std::string::npos ||
           name.find(':') != std::string::npos;
}

}  // namespace

struct Authority::Keys {
    Key key{nullptr, EVP_PKEY_free};
    Cert cert{nullptr, X509_free};
};

Authority::Authority(const std::string& name) : keys_(std::make_unique<Keys>()) {
    keys_->key = newKey();
    keys_->cert = newCertificate(name, keys_->key.get(), -3600, 365L * 24 * 3600);
    X509* cert = keys_->cert.get();
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(cert, cert, NID_subject_key_identifier, "hash");
    check(X509_sign(cert, keys_->key.get(), EVP_sha256()) > 0, "cannot sign the authority");
    certificatePem_ = pem(cert);
}

Authority::Authority(const std::string& certificatePem, const std::string& keyPem)
    : keys_(std::make_unique<Keys>()), certificatePem_(certificatePem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> certBio(
        BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(
        BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())), BIO_free);
    keys_->cert.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    keys_->key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    check(keys_->cert && keys_->key, "cannot read the authority");
}

Authority::~Authority() = default;

Identity Authority::issue(const std::vector<std::string>& names, long notBefore,
                          long notAfter) const {
    check(!names.empty(), "a certificate needs a name");
    Key key = newKey();
    Cert cert = newCertificate(names.front(), key.get(), notBefore, notAfter);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(keys_->cert.get()));
    std::string alternatives;
    for (const std::string& n : names)
        alternatives +=
            (alternatives.empty() ? "" : ",") + std::string(isIpAddress(n) ? "IP:" : "DNS:") + n;
    addExtension(cert.get(), keys_->cert.get(), NID_subject_alt_name, alternatives);
    addExtension(cert.get(), keys_->cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), keys_->cert.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), keys_->cert.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), keys_->cert.get(), NID_authority_key_identifier, "keyid:always");
    check(X509_sign(cert.get(), keys_->key.get(), EVP_sha256()) > 0, "cannot sign");
    return Identity{pem(cert.get()), pem(key.get())};
}

}  // namespace test_certificates
