#include "platform/folder_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <utility>

#include "base/errors.h"

namespace platform {
namespace {

QByteArray nameBytes(const QString& name) {
    return QFile::encodeName(name);
}

QString withSlash(const QString& path) {
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

}  // namespace

FolderHandle::~FolderHandle() {
    if (fd_ >= 0)
        ::close(fd_);
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

FolderHandle FolderHandle::open(const QString& path, const QString& reportAs) {
    const int fd = ::open(nameBytes(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw FileError::cannotOpen(reportAs.isEmpty() ? path : reportAs, systemErrorText(errno));
    return FolderHandle(fd, withSlash(path));
}

bool FolderHandle::stillAtItsPath() const {
    struct stat held {};
    struct stat named {};
    if (::fstat(fd_, &held) != 0 || ::stat(nameBytes(path_).constData(), &named) != 0)
        return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

FolderHandle FolderHandle::openBeneath(const QString& root, const QString& relative) {
    FolderHandle folder = open(root);
    struct stat rootInfo {};
    if (::fstat(folder.fd_, &rootInfo) != 0)
        throw FileError::cannotOpen(root, systemErrorText(errno));
    QString unified = relative;
    unified.replace(QLatin1Char('\\'), QLatin1Char('/'));
    for (const QString& segment : unified.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QString path = folder.path_ + segment;
        if (segment == QStringLiteral(".."))
            throw FileError::cannotOpen(path, QStringLiteral("SD카드 밖의 폴더입니다."));
        const int fd = ::openat(folder.fd_, nameBytes(segment).constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            throw FileError::cannotOpen(path, error == ELOOP || error == ENOTDIR
                                                  ? QStringLiteral("폴더가 아닙니다.")
                                                  : systemErrorText(error));
        }
        FolderHandle next(fd, withSlash(path));
        struct stat info {};
        if (::fstat(fd, &info) != 0)
            throw FileError::cannotOpen(path, systemErrorText(errno));
        // A volume mounted inside the card is not the card.
        if (info.st_dev != rootInfo.st_dev)
            throw FileError::cannotOpen(path, QStringLiteral("SD카드에 있는 폴더가 아닙니다."));
        folder = std::move(next);
    }
    return folder;
}

bool FolderHandle::contains(const QString& name) const {
    struct stat info {};
    return ::fstatat(fd_, nameBytes(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool FolderHandle::holdsRegularFile(const QString& name) const {
    struct stat info {};
    return ::fstatat(fd_, nameBytes(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode);
}

qint64 FolderHandle::freeBytes() const {
    struct statvfs info {};
    if (::fstatvfs(fd_, &info) != 0)
        return -1;
    return static_cast<qint64>(info.f_bavail) * static_cast<qint64>(info.f_frsize);
}

bool FolderHandle::readOnlyVolume() const {
    struct statvfs info {};
    return ::fstatvfs(fd_, &info) == 0 && (info.f_flag & ST_RDONLY) != 0;
}

std::optional<qint64> FolderHandle::regularFileSize(const QString& name) const {
    struct stat info {};
    if (::fstatat(fd_, nameBytes(name).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw FileError::cannotOpen(filePath(name), systemErrorText(errno));
    }
    if (!S_ISREG(info.st_mode))
        throw FileError::cannotOpen(filePath(name), QStringLiteral("보통 파일이 아닙니다."));
    return static_cast<qint64>(info.st_size);
}

QByteArray FolderHandle::readSmallFile(const QString& name, qint64 maxBytes,
                                       const QString& tooLargeReason) const {
    const QString path = filePath(name);
    // Non-blocking, so that a pipe put in the file's place cannot hang the program.
    const int fd =
        ::openat(fd_, nameBytes(name).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw FileError::cannotOpen(
            path, error == ELOOP ? QStringLiteral("보통 파일이 아닙니다.") : systemErrorText(error));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw FileError::cannotOpen(path, systemErrorText(errno));
    if (!S_ISREG(info.st_mode))
        throw FileError::cannotOpen(path, QStringLiteral("보통 파일이 아닙니다."));
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

bool FolderHandle::removeFile(const QString& name) const {
    const QByteArray n = nameBytes(name);
    if (::unlinkat(fd_, n.constData(), 0) == 0 || errno == ENOENT)
        return true;
    // An empty folder in the way goes too; a full one is not ours to empty.
    return errno == EISDIR && ::unlinkat(fd_, n.constData(), AT_REMOVEDIR) == 0;
}

void FolderHandle::sync() const {
    // Best effort: some FUSE file systems do not sync folders.
    (void)::fsync(fd_);
}

}  // namespace platform
