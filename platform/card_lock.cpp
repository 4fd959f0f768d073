#include "platform/card_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <cerrno>
#include <mutex>

#include "platform/folder_handle.h"

namespace platform {
namespace {

std::mutex g_heldMutex;
QSet<QString> g_held;

int lockWithoutWaiting(int fd, int how) {
    int result;
    do {
        result = ::flock(fd, how | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result;
}

// The mark of a finishing copy: a file in the user's runtime folder, locked for as long as the
// copy lives. Only this user's copies can tell it, and only theirs can be "earlier" ones.
QString endingMarkPath(const QString& identity) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty() || identity.isEmpty())
        return {};
    return folder + QStringLiteral("/MORVEL_Drivoro-card-%1.ending").arg(identity);
}

}  // namespace

QString CardLock::identity(const FolderHandle& folder) {
    struct stat info {};
    if (::fstat(folder.fd(), &info) != 0)
        return {};
    return QStringLiteral("%1-%2")
        .arg(quint64(info.st_dev), 0, 16)
        .arg(quint64(info.st_ino), 0, 16);
}

std::shared_ptr<CardLock> CardLock::take(const FolderHandle& folder) {
    // A lock of the folder itself: every user's program that opens it sees the same lock,
    // and nothing is written to take it.
    const int fd = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    if (lockWithoutWaiting(fd, LOCK_EX) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<CardLock> lock(new CardLock);
    lock->fd_ = fd;
    lock->identity_ = identity(folder);
    const std::lock_guard<std::mutex> held(g_heldMutex);
    g_held.insert(lock->identity_);
    return lock;
}

CardLock::~CardLock() {
    {
        const std::lock_guard<std::mutex> held(g_heldMutex);
        g_held.remove(identity_);
    }
    if (fd_ >= 0)
        ::close(fd_);
}

void CardLock::markHoldersEnding() {
    const std::lock_guard<std::mutex> held(g_heldMutex);
    for (const QString& card : std::as_const(g_held)) {
        const QString path = endingMarkPath(card);
        if (path.isEmpty())
            continue;
        // Left open: the system lets the mark go with the process.
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 && lockWithoutWaiting(fd, LOCK_EX) != 0)
            ::close(fd);
    }
}

bool CardLock::heldByEndingCopy(const FolderHandle& folder) {
    const QString path = endingMarkPath(identity(folder));
    if (path.isEmpty())
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const bool marked = lockWithoutWaiting(fd, LOCK_SH) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return marked;
}

}  // namespace platform
