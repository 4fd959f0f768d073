#include "account/saved_login.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "platform/small_file.h"
#include "platform/text_file.h"
#include "service/errors.h"
#include "service/text.h"

namespace saved_login {
namespace {

// Far beyond two lines; a larger file is not ours to load into memory.
constexpr qint64 kMaxFileBytes = 64 * 1024;

[[noreturn]] void cannotCreate(const QString& path, const QString& reason) {
    throw FileError(QStringLiteral("Cannot create file \"%1\". %2")
                        .arg(QDir::toNativeSeparators(path), reason));
}

}  // namespace

std::optional<QStringList> read(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || info.isDir()) {
        return std::nullopt;
    }
    const QByteArray bytes = platform::readSmallFile(
        path, kMaxFileBytes,
        QStringLiteral("The file is larger than %1 KiB.").arg(kMaxFileBytes / 1024));
    return platform::decodeTextLines(bytes);
}

void write(const QString& path, const QString& id, const QString& password) {
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    if (!QDir(folder).exists()) {
        if (!QDir().mkpath(folder)) {
            cannotCreate(path, QStringLiteral("The folder could not be created."));
        }
        QFile::setPermissions(
            folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        cannotCreate(path, file.errorString());
    }
    // Restrict before any byte of the password is written.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray bytes =
        platform::encodeAnsiLines({trimBlanksAndControls(id), trimBlanksAndControls(password)});
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        cannotCreate(path, file.errorString());
    }
}

}  // namespace saved_login
