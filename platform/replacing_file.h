#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/sha256.h"
#include "platform/card_calls.h"
#include "platform/folder_handle.h"

namespace platform {

// Replaces a file (on a removable card, or a settings file) so that a failure at any point
// leaves the old file whole: the bytes go to a temporary file beside the target (name +
// ".part"), in large writes (small writes are slow on FUSE file systems), are flushed to the
// medium, optionally read back from it, and only then is the temporary file renamed over the
// target and the folder flushed. A file that is never committed leaves nothing behind.
// Whatever has the temporary name (a leftover, a link, a pipe, an empty folder) is removed
// first and never written through; a link at the target's name is replaced, not followed.
//
// Once more than one buffer's worth arrives, a writer thread writes each full buffer while
// the caller fills the next, so that receiving and the card's writing overlap; the caller
// still returns only when everything is written. Memory stays at two buffers.
// A call on a card, when the file is on one (a clock is being kept for it).
class OnCard {
  public:
    OnCard(CardCallClock* clock, CardCall call, const QString& where, std::int64_t bytes = 0) {
        if (clock)
            scope_.emplace(clock, call, where, bytes);
    }

  private:
    std::optional<CardCallScope> scope_;
};

class ReplacingFile {
  public:
    static constexpr std::size_t kBufferBytes = std::size_t{4} * 1024 * 1024;

    ReplacingFile();
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    enum class Access {
        LikeReplaced,  // the mode of the file it replaces; a new file is readable by all
        OwnerOnly,     // readable and writable by the user alone, before any byte is written
    };

    enum class Failure {
        None,
        Write,           // the system refused to create, write, flush or rename
        ReadBack,        // the medium gave back other bytes than were written
        WriteProtected,  // the medium refuses every write (a card's lock switch)
    };

    // Creates the temporary file for name in folder.
    bool open(const FolderHandle& folder, const QString& name,
              Access access = Access::LikeReplaced);
    // The same in the folder of targetPath.
    bool open(const QString& targetPath, Access access = Access::LikeReplaced);
    bool write(const char* data, std::size_t size);
    bool write(const QByteArray& bytes) {
        return write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    // From here on (after open, before the first write), keeps the SHA-256 of what is
    // written; once the file outgrows one buffer, it is computed on a thread of its own while
    // each piece is written.
    void hashWrites();
    // The SHA-256 of what was written since hashWrites(), when everything is written; empty
    // without hashWrites().
    QByteArray writtenSha256();
    // Flushes and syncs; with expectedSha256, reads the file back past the system's cache and
    // compares; then renames. On failure the temporary file is removed.
    bool commit(const QByteArray& expectedSha256 = {});
    // Drops the temporary file; the target is untouched.
    void discard();

    // For a file on a card: each call on it is timed by clock and offered to the platform's
    // hook (set before open). A commit stops before the rename once cancel is set.
    void watchCalls(CardCallClock* clock) { clock_ = clock; }
    void stopWhen(const std::atomic<bool>* cancel) { cancel_ = cancel; }
    // Runs just before the rename, after the read-back: false stops the commit there, leaving
    // the target as it was.
    void beforeRename(std::function<bool()> gate) { beforeRename_ = std::move(gate); }

    // Why the last operation failed (the system's text).
    QString errorText() const { return error_; }
    Failure failure() const { return failure_; }
    // The kind of failure a system error code means: errno on Linux, a Win32 code on Windows.
    static Failure failureOf(long systemError);
    // How long the last commit's read-back took, in milliseconds (for the benchmark).
    qint64 readBackMs() const { return readBackMs_; }
    QString temporaryPath() const { return tempPath_; }

  private:
    class Writer;

    bool flushBuffer();
    bool fail(const QString& what, Failure kind = Failure::Write);
    bool failWith(long systemError);
    bool readBackMatches(const QByteArray& expectedSha256);

    int fd_ = -1;
    int folderFd_ = -1;  // our own copy of the folder's descriptor
    std::unique_ptr<Sha256> writtenHash_;
    std::unique_ptr<Writer> writer_;
    QString targetName_;
    QString tempName_;
    QString tempPath_;  // for messages; empty when there is no temporary file
    Failure failure_ = Failure::None;
    qint64 readBackMs_ = 0;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    QString error_;
    CardCallClock* clock_ = nullptr;
    const std::atomic<bool>* cancel_ = nullptr;
    std::function<bool()> beforeRename_;
};

// Replaces the file at path with bytes through a ReplacingFile. Throws FileError
// ("Cannot create file ...").
void replaceFileContents(const QString& path, const QByteArray& bytes,
                         ReplacingFile::Access access = ReplacingFile::Access::LikeReplaced);
void replaceFileContents(const FolderHandle& folder, const QString& name, const QByteArray& bytes);

// Makes folder, and the folders above it, for files of the user's alone. A folder of the
// user's that others may enter or list is closed to them; someone else's folder, or a link, is
// left as it is. On Windows the folder is only made here: it lies in the user's own roaming
// folder, which no other account may enter. False when the folder is missing and cannot be
// made.
bool makeOwnerOnlyFolder(const QString& folder);

}  // namespace platform
