#include "platform/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "base/errors.h"

namespace platform {

QByteArray readSmallFile(const QString& path, qint64 maxBytes, const QString& tooLargeReason,
                         FinalLink finalLink) {
    // Non-blocking, so that a pipe put in the file's place cannot hang the program.
    const int flags =
        O_RDONLY | O_NONBLOCK | O_CLOEXEC | (finalLink == FinalLink::Refuse ? O_NOFOLLOW : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0)
        throw FileError::cannotOpen(path, systemErrorText(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw FileError::cannotOpen(path, systemErrorText(errno));
    if (!S_ISREG(info.st_mode))
        throw FileError::cannotOpen(path, QStringLiteral("Not a regular file."));
    if (info.st_size > maxBytes)
        throw FileError::cannotOpen(path, tooLargeReason);
    QByteArray bytes(maxBytes + 1, Qt::Uninitialized);
    qsizetype used = 0;
    while (used < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + used, static_cast<size_t>(bytes.size() - used));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileError::cannotRead(path, systemErrorText(errno));
        }
        if (n == 0)
            break;
        used += n;
    }
    if (used > maxBytes)
        throw FileError::cannotOpen(path, tooLargeReason);
    bytes.truncate(used);
    return bytes;
}

}  // namespace platform
