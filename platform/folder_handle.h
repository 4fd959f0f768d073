#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace platform {

// An open folder whose files are reached relative to it, never through a symbolic link at
// their own name. A folder on a card is opened from the card's root, folder by folder,
// without following links either, so a link planted on the card cannot send a read or a
// write elsewhere. Move-only; closes the folder when destroyed.
class FolderHandle {
  public:
    FolderHandle() = default;
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    // The folder at path, as the system resolves it. Throws FileError naming reportAs, or
    // the folder when that is empty.
    static FolderHandle open(const QString& path, const QString& reportAs = {});
    // root, then each folder of relative ("a/b", "a\b", or empty for root itself) beneath
    // it, none of them a link and all on root's own file system. Throws FileError.
    static FolderHandle openBeneath(const QString& root, const QString& relative);

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The folder's path as it was named, ending in "/".
    const QString& path() const { return path_; }
    QString filePath(const QString& name) const { return path_ + name; }

    // Something (a file, a folder, a link) has the name.
    bool contains(const QString& name) const;
    // A regular file has the name itself: not a folder, a link, a pipe or a device.
    bool holdsRegularFile(const QString& name) const;
    // Bytes a new file may take; -1 when the system cannot tell.
    qint64 freeBytes() const;
    // The volume takes no writes (a card whose lock switch is on is mounted read-only); false
    // when the system cannot tell.
    bool readOnlyVolume() const;
    // The size of the regular file name; nothing when there is none. Throws FileError when
    // something else (a folder, a link, a pipe) has the name.
    std::optional<qint64> regularFileSize(const QString& name) const;
    // A regular file's bytes, at most maxBytes, without following a link at its name and
    // without waiting on a pipe. Throws FileError ("Cannot open file ...").
    QByteArray readSmallFile(const QString& name, qint64 maxBytes,
                             const QString& tooLargeReason) const;
    // Removes the file (or link, or pipe) named name; true when it is gone.
    bool removeFile(const QString& name) const;
    // Flushes the folder's entries, so that a rename is on the medium.
    void sync() const;
    // The folder's path still leads to this very folder: false once another card has been put
    // in the same reader (or mounted at the same point), or the folder is gone. A card that
    // was swapped is never written through a path meant for the first one.
    bool stillAtItsPath() const;

  private:
    FolderHandle(int fd, QString path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    QString path_;
};

}  // namespace platform
