#include "account/saved_login.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "base/errors.h"
#include "base/text.h"
#include "platform/codepage.h"
#include "platform/replacing_file.h"
#include "platform/secret.h"
#include "platform/small_file.h"
#include "platform/text_file.h"

namespace saved_login {
namespace {

// Far beyond two lines; a larger file is not ours to load into memory.
constexpr qint64 kMaxFileBytes = 64 * 1024;

}  // namespace

std::optional<QStringList> read(const QString& path) {
    const QFileInfo info(path);
    // A link put in the file's place is never ours: it could show another file's lines in the
    // fields. The next save replaces the link itself.
    if (info.isSymLink() || !info.exists() || info.isDir()) {
        return std::nullopt;
    }
    const QByteArray bytes = platform::readSmallFile(
        path, kMaxFileBytes, QStringLiteral("파일이 %1KiB보다 큽니다.").arg(kMaxFileBytes / 1024));
    QStringList lines = platform::decodeTextLines(bytes);
    if (lines.size() >= 2)
        lines[1] = platform::unprotectSecret(lines.at(1));
    return lines;
}

namespace {

void writeLines(const QString& path, const QString& id, const std::optional<QString>& password) {
    if (!platform::makeOwnerOnlyFolder(QFileInfo(path).absolutePath()))
        throw FileError::cannotCreate(path, QStringLiteral("폴더를 만들 수 없습니다."));
    QStringList lines{trimBlanksAndControls(id)};
    // A password the system could not protect is not saved: the ID alone, which the next start
    // shows with the box unticked, and nothing said about it.
    if (password) {
        if (const std::optional<QString> line =
                platform::protectSecret(trimBlanksAndControls(*password)))
            lines << *line;
    }
    QByteArray bytes;
    if (std::all_of(lines.begin(), lines.end(), platform::ansiCanHold)) {
        bytes = platform::encodeAnsiLines(lines);
    } else {
        bytes = QByteArrayLiteral("\xEF\xBB\xBF");
        for (const QString& line : lines)
            bytes += line.toUtf8() + "\r\n";
    }
    // The password is written to a file only the user can read.
    platform::replaceFileContents(path, bytes, platform::ReplacingFile::Access::OwnerOnly);
}

}  // namespace

void write(const QString& path, const QString& id, const QString& password) {
    writeLines(path, id, password);
}

void keepAfterLogin(const QString& path, const std::optional<QString>& former, bool ticked,
                    const QString& id, const QString& password) {
    if (ticked)
        write(path, id, password);
    if (!former)
        return;
    if (!ticked && !QFileInfo::exists(path)) {
        try {
            const std::optional<QStringList> lines = read(*former);
            // One line is an ID alone, which the next start shows unticked as before.
            if (lines && !lines->isEmpty())
                writeLines(
                    path, lines->at(0),
                    lines->size() >= 2 ? std::optional<QString>(lines->at(1)) : std::nullopt);
        } catch (const FileError&) {
            return;  // kept for the next login; the login itself went through
        }
    }
    // Readable by every user of the PC: it goes once the user's own file holds what it held.
    QFile::remove(*former);
}

}  // namespace saved_login
