#include "account/saved_login.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "base/errors.h"
#include "base/text.h"
#include "platform/replacing_file.h"
#include "platform/small_file.h"
#include "platform/text_file.h"

namespace saved_login {
namespace {

// Far beyond two lines; a larger file is not ours to load into memory.
constexpr qint64 kMaxFileBytes = 64 * 1024;

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
            throw FileError::cannotCreate(path, QStringLiteral("The folder could not be created."));
        }
        QFile::setPermissions(
            folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    // The password is written to a file only the user can read.
    platform::replaceFileContents(
        path,
        platform::encodeAnsiLines({trimBlanksAndControls(id), trimBlanksAndControls(password)}),
        platform::ReplacingFile::Access::OwnerOnly);
}

}  // namespace saved_login
