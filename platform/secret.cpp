#include "platform/secret.h"

#include "platform/secret_system.h"

namespace platform {
namespace {

const QString kMarker = QStringLiteral(
    "\x01"
    "DPAPI:");

SecretProtection& standIn() {
    static SecretProtection protection;
    return protection;
}

}  // namespace

std::optional<QString> protectSecret(const QString& secret) {
    const SecretProtection& protection = standIn();
    if (!protection && !system_secret::protects())
        return secret;
    const std::optional<QByteArray> sealed =
        protection ? protection(secret.toUtf8()) : system_secret::protect(secret.toUtf8());
    // A system that protects passwords never gets one in clear, not even when it fails.
    if (!sealed)
        return std::nullopt;
    return kMarker + QString::fromLatin1(sealed->toBase64());
}

QString unprotectSecret(const QString& line) {
    if (!line.startsWith(kMarker))
        return line;
    const auto decoded = QByteArray::fromBase64Encoding(line.mid(kMarker.size()).toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return {};
    const std::optional<QByteArray> plain = system_secret::unprotect(*decoded);
    return plain ? QString::fromUtf8(*plain) : QString();
}

void setSecretProtection(SecretProtection protection) {
    standIn() = std::move(protection);
}

}  // namespace platform
