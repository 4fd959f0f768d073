#include "base/sha256.h"

#include <QtGlobal>

#ifdef DRIVORO_HAVE_OPENSSL
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

#ifdef DRIVORO_HAVE_OPENSSL
struct Sha256::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    State() { EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr); }
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

void Sha256::add(const char* data, std::size_t size) {
    EVP_DigestUpdate(state_->ctx, data, size);
}

QByteArray Sha256::result() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->ctx, digest, &length);
    EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length));
}
#else
struct Sha256::State {
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

void Sha256::add(const char* data, std::size_t size) {
    state_->hash.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
}

QByteArray Sha256::result() {
    const QByteArray digest = state_->hash.result();
    state_->hash.reset();
    return digest;
}
#endif

QByteArray sha256FromHex(const QByteArray& hex) {
    if (hex.size() != 64)
        return {};
    for (const char c : hex) {
        const bool digit =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit)
            return {};
    }
    return QByteArray::fromHex(hex);
}
