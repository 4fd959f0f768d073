#include "platform/replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/errors.h"
#include "base/sha256.h"

namespace platform {
namespace {

// Some FUSE file systems do not implement fsync; their data is written when the file is
// closed, which the commit checks.
bool syncUnsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EROFS;
}

// 0, or the errno of the failed write.
int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Writes bytes at offset in steps a slow card finishes well within the stall threshold, each
// sent on its way to the medium as soon as it is written and the one before it waited for: the
// system never holds more than two steps unwritten, so the progress follows the card and no
// flush has a whole file to write. Each step and each wait is a call of its own on the card.
// 0, or the errno of what failed.
int writeInSteps(int fd, const char* data, std::size_t bytes, off_t& offset, off_t& previous,
                 CardCallClock* clock, const QString& where) {
    constexpr auto kStep = static_cast<std::size_t>(kCardStepBytes);
    for (std::size_t done = 0; done < bytes;) {
        const std::size_t step = std::min(kStep, bytes - done);
        {
            const OnCard call(clock, CardCall::Write, where, static_cast<std::int64_t>(step));
            if (const int error = writeAll(fd, data + done, step); error != 0)
                return error;
            // A write-back error is reported once: consumed here and ignored, the later fsync
            // would return 0 for a file the card never took.
            if (::sync_file_range(fd, offset, static_cast<off_t>(step), SYNC_FILE_RANGE_WRITE) !=
                    0 &&
                !syncUnsupported(errno))
                return errno;
        }
        if (offset > 0) {
            const OnCard call(clock, CardCall::Write, where, offset - previous);
            if (::sync_file_range(fd, previous, offset - previous,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                      SYNC_FILE_RANGE_WAIT_AFTER) != 0 &&
                !syncUnsupported(errno))
                return errno;
        }
        previous = offset;
        offset += static_cast<off_t>(step);
        done += step;
    }
    return 0;
}

// Hashes the pieces handed to it, in order, on a thread of its own, while the caller reads or
// writes the next piece.
class PieceHasher {
  public:
    explicit PieceHasher(Sha256& hash) : hash_(hash), thread_([this] { run(); }) {}
    ~PieceHasher() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_.notify_one();
        thread_.join();
    }
    PieceHasher(const PieceHasher&) = delete;
    PieceHasher& operator=(const PieceHasher&) = delete;

    // Once the piece handed over before is hashed, hands over data[0, size), which must stay
    // as it is until the next hand() or wait() returns.
    void hand(const char* data, std::size_t size) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return data_ == nullptr; });
        data_ = data;
        size_ = size;
        work_.notify_one();
    }

    // Returns once every piece handed over is hashed.
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return data_ == nullptr; });
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return data_ != nullptr || stopping_; });
            if (data_ == nullptr)
                return;
            lock.unlock();
            hash_.add(data_, size_);
            lock.lock();
            data_ = nullptr;
            done_.notify_all();
        }
    }

    Sha256& hash_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace

// Writes one buffer at a time on its own thread; the caller may fill the other meanwhile. When
// the written bytes are hashed, a second thread hashes each piece while it is written.
class ReplacingFile::Writer {
  public:
    Writer(int fd, CardCallClock* clock, QString where, Sha256* hash)
        : fd_(fd),
          clock_(clock),
          where_(std::move(where)),
          hash_(hash),
          hasher_(hash ? std::make_unique<PieceHasher>(*hash) : nullptr),
          thread_([this] { run(); }) {}
    ~Writer() { stop(true); }

    // Hands over full[0, used) once the previous piece is written, and gives back the
    // other buffer (empty the first time). False when a write has failed.
    bool submit(std::vector<char>& full, std::size_t used) {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return (!hasJob_ && !busy_) || error_ != 0; });
        if (error_ != 0)
            return false;
        job_.swap(full);
        jobBytes_ = used;
        hasJob_ = true;
        full.swap(spare_);
        work_.notify_one();
        return true;
    }

    // Waits until every piece handed over is written and hashed; later pieces are not hashed.
    void stopHashing() {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return (!hasJob_ && !busy_) || error_ != 0; });
        hash_ = nullptr;
    }

    // Waits for what was handed over (or drops it when abandoning); the first errno, or 0.
    int stop(bool abandon) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (abandon)
                hasJob_ = false;
            idle_.wait(lock, [this] { return (!hasJob_ && !busy_) || error_ != 0; });
            stopping_ = true;
            work_.notify_one();
        }
        if (thread_.joinable())
            thread_.join();
        return error_;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return hasJob_ || stopping_; });
            if (!hasJob_ || error_ != 0)
                return;
            std::vector<char> piece;
            piece.swap(job_);
            const std::size_t bytes = jobBytes_;
            hasJob_ = false;
            busy_ = true;
            const bool hashing = hash_ != nullptr;
            lock.unlock();
            if (hashing)
                hasher_->hand(piece.data(), bytes);
            const int error = writePiece(piece.data(), bytes);
            if (hashing)
                hasher_->wait();
            lock.lock();
            spare_.swap(piece);
            busy_ = false;
            if (error != 0 && error_ == 0)
                error_ = error;
            idle_.notify_all();
        }
    }

    int writePiece(const char* data, std::size_t bytes) {
        return writeInSteps(fd_, data, bytes, offset_, previous_, clock_, where_);
    }

    const int fd_;
    CardCallClock* const clock_;
    const QString where_;
    Sha256* hash_;  // guarded by mutex_
    const std::unique_ptr<PieceHasher> hasher_;
    off_t offset_ = 0;
    off_t previous_ = 0;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_;
    std::vector<char> job_;
    std::vector<char> spare_;
    std::size_t jobBytes_ = 0;
    bool hasJob_ = false;
    bool busy_ = false;
    bool stopping_ = false;
    int error_ = 0;
    std::thread thread_;  // last: starts once everything above exists
};

ReplacingFile::ReplacingFile() = default;

ReplacingFile::Failure ReplacingFile::failureOf(long systemError) {
    return systemError == EROFS ? Failure::WriteProtected : Failure::Write;
}

bool ReplacingFile::failWith(long systemError) {
    return fail(systemErrorText(static_cast<int>(systemError)), failureOf(systemError));
}

ReplacingFile::~ReplacingFile() {
    discard();
    if (folderFd_ >= 0)
        ::close(folderFd_);
}

bool ReplacingFile::open(const FolderHandle& folder, const QString& name, Access access) {
    discard();
    if (folderFd_ >= 0)
        ::close(folderFd_);
    error_.clear();
    failure_ = Failure::None;
    folderFd_ = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
    if (folderFd_ < 0)
        return failWith(errno);
    targetName_ = name;
    writtenHash_.reset();
    // One fixed name beside the target: what a killed or powered-off download left behind is
    // reused by the next one instead of piling up on the card.
    tempName_ = name + QStringLiteral(".part");
    const QByteArray temp = QFile::encodeName(tempName_);
    const OnCard call(clock_, CardCall::Write, folder.path());
    // Never written through: whatever has the name goes, and the file is created anew.
    if (!folder.removeFile(tempName_))
        return failWith(errno);
    const int fd = ::openat(folderFd_, temp.constData(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return failWith(errno);
    fd_ = fd;
    tempPath_ = folder.filePath(tempName_);
    // Give it the mode of the file it replaces.
    mode_t mode = 0644;
    struct stat old {};
    if (::fstatat(folderFd_, QFile::encodeName(name).constData(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(old.st_mode))
        mode = old.st_mode & 07777;
    if (access == Access::OwnerOnly)
        mode = 0600;
    (void)::fchmod(fd_, mode);
    used_ = 0;
    return true;
}

bool ReplacingFile::flushBuffer() {
    if (writer_) {
        if (used_ > 0 && !writer_->submit(buffer_, used_))
            return failWith(writer_->stop(false));
        const int error = writer_->stop(false);
        writer_.reset();
        if (error != 0)
            return failWith(error);
    } else {
        if (writtenHash_)
            writtenHash_->add(buffer_.data(), used_);
        off_t offset = 0;
        off_t previous = 0;
        if (const int error =
                writeInSteps(fd_, buffer_.data(), used_, offset, previous, clock_, tempPath_);
            error != 0)
            return failWith(error);
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
    // The buffer grows with what is written: a few hundred bytes of card info need no
    // database-sized buffer.
    if (buffer_.size() < kBufferBytes && used_ + size > buffer_.size())
        buffer_.resize(std::min(kBufferBytes, std::max(used_ + size, 2 * buffer_.size())));
    while (size > 0) {
        const std::size_t room = buffer_.size() - used_;
        const std::size_t take = std::min(room, size);
        std::memcpy(buffer_.data() + used_, data, take);
        used_ += take;
        data += take;
        size -= take;
        if (used_ == kBufferBytes) {
            if (!writer_)
                writer_ = std::make_unique<Writer>(fd_, clock_, tempPath_, writtenHash_.get());
            if (!writer_->submit(buffer_, used_))
                return failWith(writer_->stop(true));
            buffer_.resize(kBufferBytes);
            used_ = 0;
        }
    }
    return true;
}

QByteArray ReplacingFile::writtenSha256() {
    if (!writtenHash_)
        return {};
    if (writer_)
        writer_->stopHashing();
    // The tail not yet handed to the writer.
    writtenHash_->add(buffer_.data(), used_);
    const QByteArray digest = writtenHash_->result();
    writtenHash_.reset();
    return digest;
}

bool ReplacingFile::readBackMatches(const QByteArray& expectedSha256) {
    {
        // The cached pages would only show what was handed to the system, not what the card
        // kept. Dropping them may write what is still dirty.
        const OnCard call(clock_, CardCall::Read, tempPath_, 2 * kCardStepBytes);
        (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
        (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    // One thread hashes each piece while the next is read: the read-back keeps the card's pace.
    Sha256 hash;
    std::vector<char> pieces[2] = {std::vector<char>(kBufferBytes),
                                   std::vector<char>(kBufferBytes)};
    {
        PieceHasher hasher(hash);
        int current = 0;
        off_t offset = 0;
        for (;;) {
            if (cancel_ && *cancel_)
                return fail(QStringLiteral("Cancelled"));
            // Filled in steps, each a call of its own on the card.
            std::size_t filled = 0;
            while (filled < pieces[current].size()) {
                const std::size_t step = std::min<std::size_t>(
                    kCardStepBytes, pieces[current].size() - filled);
                ssize_t got = 0;
                {
                    const OnCard call(clock_, CardCall::Read, tempPath_,
                                      static_cast<std::int64_t>(step));
                    got = ::pread(fd_, pieces[current].data() + filled, step,
                                  offset + static_cast<off_t>(filled));
                }
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0)
                    return fail(systemErrorText(errno), Failure::ReadBack);
                if (got == 0)
                    break;
                filled += static_cast<std::size_t>(got);
            }
            const auto n = static_cast<ssize_t>(filled);
            if (n == 0)
                break;
            hasher.hand(pieces[current].data(), static_cast<std::size_t>(n));
            offset += n;
            current ^= 1;
        }
        hasher.wait();
    }
    if (hash.result() != expectedSha256)
        return fail(
            QStringLiteral("The file read back from the medium differs from what was written"),
            Failure::ReadBack);
    return true;
}

bool ReplacingFile::commit(const QByteArray& expectedSha256) {
    if (fd_ < 0) {
        if (error_.isEmpty())
            error_ = QStringLiteral("The file is not open");
        return false;
    }
    if (!flushBuffer())
        return false;
    {
        // The writer never leaves more than two pieces unwritten.
        // At most the last two steps are still unwritten.
        const OnCard call(clock_, CardCall::Write, tempPath_, 2 * kCardStepBytes);
        if (::fsync(fd_) != 0 && !syncUnsupported(errno))
            return failWith(errno);
    }
    if (!expectedSha256.isEmpty()) {
        QElapsedTimer timer;
        timer.start();
        const bool same = readBackMatches(expectedSha256);
        readBackMs_ = timer.elapsed();
        if (!same)
            return false;
    }
    // What the name must still be at the rename: another process may have put its own file
    // there meanwhile, and that file must not become the target.
    struct stat written {};
    {
        const OnCard call(clock_, CardCall::Look, tempPath_);
        if (::fstat(fd_, &written) != 0)
            return failWith(errno);
    }
    if (cancel_ && *cancel_)
        return fail(QStringLiteral("Cancelled"));
    // The last moment the target is still the old file: the caller may stop here.
    if (beforeRename_ && !beforeRename_())
        return fail(QStringLiteral("Cancelled"));
    const OnCard call(clock_, CardCall::Write, tempPath_);
    const int fd = fd_;
    fd_ = -1;
    // Kept to flush the installed file once more after the rename, through its own handle.
    const int installed = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (::close(fd) != 0) {
        // A FUSE file system may report a failed write only here.
        const int error = errno;
        if (installed >= 0)
            ::close(installed);
        return failWith(error);
    }
    const auto closeInstalled = qScopeGuard([installed] {
        if (installed >= 0)
            ::close(installed);
    });
    const QByteArray temp = QFile::encodeName(tempName_);
    const QByteArray target = QFile::encodeName(targetName_);
    struct stat named {};
    if (::fstatat(folderFd_, temp.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return failWith(errno);
    if (named.st_dev != written.st_dev || named.st_ino != written.st_ino) {
        tempPath_.clear();  // not ours to remove
        return fail(QStringLiteral("The temporary file was replaced by another program"));
    }
    if (::renameat(folderFd_, temp.constData(), folderFd_, target.constData()) != 0)
        return failWith(errno);
    tempPath_.clear();
    buffer_ = {};
    // Best effort: the rename itself has already happened.
    if (installed >= 0)
        (void)::fsync(installed);
    (void)::fsync(folderFd_);
    return true;
}

void ReplacingFile::discard() {
    if (writer_) {
        writer_->stop(true);
        writer_.reset();
    }
    if (fd_ < 0 && tempPath_.isEmpty()) {
        buffer_ = {};
        used_ = 0;
        return;
    }
    const OnCard call(clock_, CardCall::Write, tempPath_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.isEmpty() && folderFd_ >= 0) {
        ::unlinkat(folderFd_, QFile::encodeName(tempName_).constData(), 0);
        tempPath_.clear();
    }
    buffer_ = {};
    used_ = 0;
}

bool makeOwnerOnlyFolder(const QString& folder) {
    if (!QDir(folder).exists() && !QDir().mkpath(folder))
        return false;
    const QByteArray name = QFile::encodeName(folder);
    struct stat info {};
    if (::lstat(name.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::getuid() && (info.st_mode & 077) != 0) {
        ::chmod(name.constData(), info.st_mode & 0700);
    }
    return true;
}

}  // namespace platform
