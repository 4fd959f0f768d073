#include "platform/card_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/folder_handle.h"

namespace platform {

std::shared_ptr<CardLock> CardLock::take(const FolderHandle& folder) {
    // A lock of the folder itself: every user's program that opens it sees the same lock,
    // and nothing is written to take it.
    const int fd = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<CardLock> lock(new CardLock);
    lock->fd_ = fd;
    return lock;
}

CardLock::~CardLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace platform
