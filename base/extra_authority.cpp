#include "base/extra_authority.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/errors.h"

namespace extra_authority {
namespace {

struct Certificates {
    std::vector<X509*> list;
    Certificates() = default;
    Certificates(const Certificates&) = delete;
    Certificates& operator=(const Certificates&) = delete;
    ~Certificates() {
        for (X509* c : list)
            X509_free(c);
    }
};

std::mutex& lock() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const Certificates>& current() {
    static std::shared_ptr<const Certificates> c;
    return c;
}

CURLcode addToStore(CURL*, void* sslContext, void* clientp) {
    const auto* certificates = static_cast<const Certificates*>(clientp);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    if (!store)
        return CURLE_SSL_CERTPROBLEM;
    for (X509* c : certificates->list) {
        // The same authority twice (a store libcurl keeps between transfers) is no failure.
        if (X509_STORE_add_cert(store, c) != 1) {
            const unsigned long error = ERR_peek_last_error();
            if (ERR_GET_REASON(error) != X509_R_CERT_ALREADY_IN_HASH_TABLE)
                return CURLE_SSL_CERTPROBLEM;
            ERR_clear_error();
        }
    }
    return CURLE_OK;
}

}  // namespace

void set(const QByteArray& pem) {
    std::shared_ptr<Certificates> parsed;
    if (!pem.isEmpty()) {
        parsed = std::make_shared<Certificates>();
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(
            BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), BIO_free);
        while (X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
            parsed->list.push_back(c);
        ERR_clear_error();
        if (parsed->list.empty())
            throw std::invalid_argument("the extra authority holds no PEM certificate");
    }
    const std::lock_guard<std::mutex> guard(lock());
    current() = std::move(parsed);
}

std::shared_ptr<const void> applyTo(void* easyHandle) {
    std::shared_ptr<const Certificates> certificates;
    {
        const std::lock_guard<std::mutex> guard(lock());
        certificates = current();
    }
    if (!certificates)
        return {};
    CURL* easy = static_cast<CURL*>(easyHandle);
    if (curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, addToStore) != CURLE_OK ||
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, certificates.get()) != CURLE_OK) {
        throw TransportError(
            QStringLiteral("This build's libcurl cannot add an authority to the system's"));
    }
    return certificates;
}

}  // namespace extra_authority
