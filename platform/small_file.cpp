#include "platform/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

#include "service/errors.h"

namespace platform {
namespace {

[[noreturn]] void cannotOpen(const QString& path, const QString& reason) {
    throw FileError(
        QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(path), reason));
}

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

QByteArray readSmallFile(const QString& path, qint64 maxBytes, const QString& tooLargeReason) {
    // Non-blocking, so that a pipe put in the file's place cannot hang the program.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        cannotOpen(path, systemText(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        cannotOpen(path, systemText(errno));
    if (!S_ISREG(info.st_mode))
        cannotOpen(path, QStringLiteral("Not a regular file."));
    if (info.st_size > maxBytes)
        cannotOpen(path, tooLargeReason);
    QByteArray bytes(maxBytes + 1, Qt::Uninitialized);
    qsizetype used = 0;
    while (used < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + used, static_cast<size_t>(bytes.size() - used));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileError(QStringLiteral("Cannot read file \"%1\". %2")
                                .arg(QDir::toNativeSeparators(path), systemText(errno)));
        }
        if (n == 0)
            break;
        used += n;
    }
    if (used > maxBytes)
        cannotOpen(path, tooLargeReason);
    bytes.truncate(used);
    return bytes;
}

}  // namespace platform
