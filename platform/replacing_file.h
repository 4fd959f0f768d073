#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

namespace platform {

// Replaces a file (on a removable card, or a settings file) so that a failure at any point leaves
// the old file whole: the bytes go to a temporary file beside the target, in large writes (small
// writes are slow on FUSE file systems), are flushed to the medium, and only then is the temporary
// file renamed over the target. A file that is never committed leaves nothing behind.
//
// Once more than one buffer's worth arrives, a writer thread writes each full buffer while
// the caller fills the next, so that receiving and the card's writing overlap; the caller
// still returns only when everything is written. Memory stays at two buffers.
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

    // Creates the temporary file in the target's folder.
    bool open(const QString& targetPath, Access access = Access::LikeReplaced);
    bool write(const char* data, std::size_t size);
    bool write(const QByteArray& bytes) {
        return write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    // Flushes, syncs and renames; on failure the temporary file is removed.
    bool commit();
    // Drops the temporary file; the target is untouched.
    void discard();

    // Why the last operation failed (the system's text).
    QString errorText() const { return error_; }
    QString temporaryPath() const { return tempPath_; }

  private:
    class Writer;

    bool flushBuffer();
    bool fail(const QString& what);

    int fd_ = -1;
    std::unique_ptr<Writer> writer_;
    QString targetPath_;
    QString tempPath_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    QString error_;
};

// Replaces the file at path with bytes through a ReplacingFile. Throws FileError
// ("Cannot create file ...").
void replaceFileContents(const QString& path, const QByteArray& bytes,
                         ReplacingFile::Access access = ReplacingFile::Access::LikeReplaced);

}  // namespace platform
