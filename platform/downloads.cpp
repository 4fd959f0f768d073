#include "platform/downloads.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "service/errors.h"

namespace platform {
namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Some FUSE file systems do not implement fsync; their data is written when the file is
// closed, which the commit checks.
bool syncUnsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EROFS;
}

void syncFolderOf(const QByteArray& path) {
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        // Best effort: the rename itself has already happened.
        (void)::fsync(dir);
        ::close(dir);
    }
}

}  // namespace

ReplacingFile::~ReplacingFile() {
    discard();
}

bool ReplacingFile::fail(const QString& what) {
    error_ = what;
    discard();
    return false;
}

bool ReplacingFile::open(const QString& targetPath) {
    discard();
    error_.clear();
    targetPath_ = targetPath;
    QByteArray name = QFile::encodeName(targetPath) + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error_ = systemText(errno);
        return false;
    }
    fd_ = fd;
    tempPath_ = QFile::decodeName(name);
    // mkostemp makes the file private; give it the mode of the file it replaces.
    struct stat old {};
    const bool replacing =
        ::stat(QFile::encodeName(targetPath).constData(), &old) == 0 && S_ISREG(old.st_mode);
    (void)::fchmod(fd_, replacing ? (old.st_mode & 07777) : 0644);
    buffer_.resize(kBufferBytes);
    used_ = 0;
    return true;
}

bool ReplacingFile::flushBuffer() {
    const char* p = buffer_.data();
    std::size_t left = used_;
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(systemText(errno));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    used_ = 0;
    return true;
}

bool ReplacingFile::write(const char* data, std::size_t size) {
    if (fd_ < 0) {
        if (error_.isEmpty())
            error_ = QStringLiteral("The file is not open");
        return false;
    }
    while (size > 0) {
        const std::size_t room = buffer_.size() - used_;
        const std::size_t take = std::min(room, size);
        std::memcpy(buffer_.data() + used_, data, take);
        used_ += take;
        data += take;
        size -= take;
        if (used_ == buffer_.size() && !flushBuffer())
            return false;
    }
    return true;
}

bool ReplacingFile::commit() {
    if (fd_ < 0) {
        if (error_.isEmpty())
            error_ = QStringLiteral("The file is not open");
        return false;
    }
    if (!flushBuffer())
        return false;
    if (::fsync(fd_) != 0 && !syncUnsupported(errno))
        return fail(systemText(errno));
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        // A FUSE file system may report a failed write only here.
        return fail(systemText(errno));
    }
    const QByteArray temp = QFile::encodeName(tempPath_);
    const QByteArray target = QFile::encodeName(targetPath_);
    if (::rename(temp.constData(), target.constData()) != 0) {
        error_ = systemText(errno);
        ::unlink(temp.constData());
        tempPath_.clear();
        return false;
    }
    tempPath_.clear();
    buffer_ = {};
    syncFolderOf(target);
    return true;
}

void ReplacingFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.isEmpty()) {
        ::unlink(QFile::encodeName(tempPath_).constData());
        tempPath_.clear();
    }
    buffer_ = {};
    used_ = 0;
}

DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options) {
    ReplacingFile file;
    if (!file.open(targetPath)) {
        return DownloadResult{false, file.errorText()};
    }
    try {
        const BodySink sink = [&file](const char* data, std::size_t size) {
            return file.write(data, size);
        };
        const TransferOutcome outcome =
            httpTransfer(HttpRequest{url, false, {}, {}}, options.limits, sink, options.progress);
        if (!isSuccessStatus(outcome.status)) {
            file.discard();
            return DownloadResult{false, QStringLiteral("HTTP status %1").arg(outcome.status)};
        }
    } catch (const AppError& e) {
        // A refused write aborts the transfer; the file's own reason says more than curl's.
        const QString reason = file.errorText().isEmpty() ? e.text() : file.errorText();
        file.discard();
        return DownloadResult{false, reason};
    }
    if (!file.commit()) {
        return DownloadResult{false, file.errorText()};
    }
    return DownloadResult{true, {}};
}

}  // namespace platform
