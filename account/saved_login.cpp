#include "account/saved_login.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// A folder of the user's that others may enter or list is closed to them; a folder of
// someone else's, or a link, is left as it is.
// On Windows the platform layer gives the folder an access list for the user alone.
void tightenFolder([[maybe_unused]] const QString& folder) {
#ifndef _WIN32
    const QByteArray name = QFile::encodeName(folder);
    struct stat info {};
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & 077) == 0)
        return;
    ::chmod(name.constData(), info.st_mode & 0700);
#endif
}

}  // namespace

std::optional<QStringList> read(const QString& path) {
    const QFileInfo info(path);
    // A link put in the file's place is never ours: it could show another file's lines in the
    // fields. The next save replaces the link itself.
    if (info.isSymLink() || !info.exists() || info.isDir()) {
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
        ::chmod(QFile::encodeName(folder).constData(), 0700);
    } else {
        tightenFolder(folder);
    }
    // The password is written to a file only the user can read.
    platform::replaceFileContents(
        path,
        platform::encodeAnsiLines({trimBlanksAndControls(id), trimBlanksAndControls(password)}),
        platform::ReplacingFile::Access::OwnerOnly);
}

}  // namespace saved_login
