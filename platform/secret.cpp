#include "platform/secret.h"

#include "platform/secret_system.h"

namespace platform {
namespace {

const QString kMarker = QStringLiteral(
    "\x01"
    "DPAPI:");

}  // namespace

QString protectSecret(const QString& secret) {
    const std::optional<QByteArray> sealed = system_secret::protect(secret.toUtf8());
    if (!sealed)
        return secret;
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

}  // namespace platform
