#include "platform/replacing_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <vector>

#include <QDir>
#include <QElapsedTimer>
#include <algorithm>
#include <cstring>

#include "base/errors.h"
#include "base/sha256.h"
#include "platform/windows/win32.h"

// The Windows side of the card writes: the temporary file is created anew (never opened
// through a reparse point), written through to the medium, flushed with FlushFileBuffers,
// read back unbuffered when a digest is given, and renamed over the target in one step
// through its own open handle (SetFileInformationByHandle with FileRenameInfo). That rename
// has no write-through of its own, so the handle is flushed once more after it, before it is
// closed. Only a file system that cannot rename by handle gets MoveFileExW by name, with
// MOVEFILE_WRITE_THROUGH. Handles are kept as C runtime descriptors so that the class is the
// same on both systems. Writes are made in the caller's thread.
namespace platform {
namespace {

using win::handleOf;
using win::nativePath;

QString lastErrorText() {
    return win::errorText(GetLastError());
}

// The error code of the failed write, or 0.
DWORD writeAll(HANDLE file, const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, data, piece, &written, nullptr))
            return GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        data += written;
        size -= written;
    }
    return 0;
}

// Memory aligned for unbuffered reads (any sector size up to a page).
struct AlignedBuffer {
    explicit AlignedBuffer(std::size_t size)
        : data(static_cast<char*>(
              VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))),
          size(size) {}
    ~AlignedBuffer() {
        if (data)
            VirtualFree(data, 0, MEM_RELEASE);
    }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    char* data;
    std::size_t size;
};

}  // namespace

class ReplacingFile::Writer {};

namespace {

// A virus scanner or Explorer's preview may hold the old file for a moment without letting it
// be replaced: the rename is tried again for about 3 s before it counts as failed.
template <typename Attempt>
DWORD retryWhileHeld(Attempt attempt) {
    DWORD error = attempt();
    for (int tries = 0; tries < 30; ++tries) {
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
            error != ERROR_LOCK_VIOLATION)
            break;
        Sleep(100);
        error = attempt();
    }
    return error;
}

}  // namespace

ReplacingFile::ReplacingFile() = default;

ReplacingFile::Failure ReplacingFile::failureOf(long systemError) {
    // A card whose lock switch is on; the reader reports it for every write.
    return static_cast<DWORD>(systemError) == ERROR_WRITE_PROTECT ? Failure::WriteProtected
                                                                  : Failure::Write;
}

bool ReplacingFile::failWith(long systemError) {
    return fail(win::errorText(static_cast<DWORD>(systemError)), failureOf(systemError));
}

ReplacingFile::~ReplacingFile() {
    discard();
    if (folderFd_ >= 0)
        _close(folderFd_);
}

bool ReplacingFile::open(const FolderHandle& folder, const QString& name, Access) {
    discard();
    if (folderFd_ >= 0) {
        _close(folderFd_);
        folderFd_ = -1;
    }
    error_.clear();
    failure_ = Failure::None;
    // Our own handle on the folder: it cannot be renamed away while the file is written.
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handleOf(folder.fd()), GetCurrentProcess(), &copy, 0,
                         FALSE, DUPLICATE_SAME_ACCESS))
        return fail(lastErrorText());
    folderFd_ = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_RDONLY);
    if (folderFd_ < 0) {
        CloseHandle(copy);
        return fail(QStringLiteral("No file descriptor is left"));
    }
    targetName_ = name;
    writtenHash_.reset();
    // One fixed name beside the target: what a killed or powered-off download left behind is
    // reused by the next one instead of piling up on the card.
    tempName_ = name + QStringLiteral(".part");
    const QString tempPath = folder.filePath(tempName_);
    const OnCard call(clock_, CardCall::Write, folder.path());
    // Never written through: whatever has the name goes, and the file is created anew. A
    // scanner still reading a leftover is waited for as the rename waits for it.
    const DWORD removal = retryWhileHeld([&] {
        if (folder.removeFile(tempName_))
            return DWORD{ERROR_SUCCESS};
        const DWORD error = GetLastError();
        return error == ERROR_SUCCESS ? DWORD{ERROR_ACCESS_DENIED} : error;
    });
    if (removal != ERROR_SUCCESS)
        return failWith(removal);
    // The access list is the folder's, inherited: the saved login's folder lets in its user
    // alone (OwnerOnly), a card's folder has none.
    const HANDLE file = CreateFileW(
        nativePath(tempPath).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
        nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failWith(GetLastError());
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        DeleteFileW(nativePath(tempPath).c_str());
        return fail(QStringLiteral("No file descriptor is left"));
    }
    fd_ = fd;
    tempPath_ = tempPath;
    used_ = 0;
    return true;
}

bool ReplacingFile::flushBuffer() {
    // Written through, in steps a slow card finishes well within the stall threshold: each is
    // on the card when its call returns.
    for (std::size_t done = 0; done < used_;) {
        const std::size_t step =
            std::min(static_cast<std::size_t>(kCardStepBytes), used_ - done);
        const OnCard call(clock_, CardCall::Write, tempPath_, static_cast<std::int64_t>(step));
        if (const DWORD error = writeAll(handleOf(fd_), buffer_.data() + done, step); error != 0)
            return failWith(error);
        done += step;
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
    // Written in this thread: the hash goes with it.
    if (writtenHash_)
        writtenHash_->add(data, size);
    // The buffer grows with what is written: a few hundred bytes of card info need no
    // database-sized buffer.
    if (buffer_.size() < kBufferBytes && used_ + size > buffer_.size())
        buffer_.resize(std::min(kBufferBytes, std::max(used_ + size, 2 * buffer_.size())));
    while (size > 0) {
        const std::size_t take = std::min(buffer_.size() - used_, size);
        std::memcpy(buffer_.data() + used_, data, take);
        used_ += take;
        data += take;
        size -= take;
        if (used_ == kBufferBytes && !flushBuffer())
            return false;
    }
    return true;
}

QByteArray ReplacingFile::writtenSha256() {
    if (!writtenHash_)
        return {};
    const QByteArray digest = writtenHash_->result();
    writtenHash_.reset();
    return digest;
}

bool ReplacingFile::readBackMatches(const QByteArray& expectedSha256) {
    // A second handle that bypasses the system's cache: the cached pages would only show what
    // was handed to the system, not what the card kept. Our own handle forbids anyone else
    // from writing or renaming the file, so the name still leads to it.
    HANDLE file = INVALID_HANDLE_VALUE;
    {
        const OnCard call(clock_, CardCall::Read, tempPath_);
        file = CreateFileW(nativePath(tempPath_).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING,
                           FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                               FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    }
    if (file == INVALID_HANDLE_VALUE)
        return fail(lastErrorText(), Failure::ReadBack);
    struct Closer {
        HANDLE handle;
        ~Closer() { CloseHandle(handle); }
    } closer{file};
    // Read in steps a slow card finishes well within the stall threshold.
    AlignedBuffer piece(static_cast<std::size_t>(kCardStepBytes));
    if (!piece.data)
        return fail(lastErrorText(), Failure::ReadBack);
    Sha256 hash;
    for (;;) {
        if (cancel_ && *cancel_)
            return fail(QStringLiteral("Cancelled"));
        DWORD n = 0;
        const OnCard call(clock_, CardCall::Read, tempPath_, kCardStepBytes);
        if (!ReadFile(file, piece.data, static_cast<DWORD>(piece.size), &n, nullptr))
            return fail(lastErrorText(), Failure::ReadBack);
        if (n == 0)
            break;
        hash.add(piece.data, n);
    }
    if (hash.result() != expectedSha256)
        return fail(
            QStringLiteral("The file read back from the medium differs from what was written"),
            Failure::ReadBack);
    return true;
}

namespace {

DWORD renameHandle(HANDLE file, const std::wstring& target) {
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.data(), nameBytes);
    return retryWhileHeld([&] {
        return SetFileInformationByHandle(file, FileRenameInfo, info,
                                          static_cast<DWORD>(buffer.size()))
                   ? DWORD{ERROR_SUCCESS}
                   : GetLastError();
    });
}

}  // namespace

bool ReplacingFile::commit(const QByteArray& expectedSha256) {
    if (fd_ < 0) {
        if (error_.isEmpty())
            error_ = QStringLiteral("The file is not open");
        return false;
    }
    if (!flushBuffer())
        return false;
    {
        const OnCard call(clock_, CardCall::Write, tempPath_);
        if (!FlushFileBuffers(handleOf(fd_)))
            return failWith(GetLastError());
    }
    if (!expectedSha256.isEmpty()) {
        QElapsedTimer timer;
        timer.start();
        const bool same = readBackMatches(expectedSha256);
        readBackMs_ = timer.elapsed();
        if (!same)
            return false;
    }
    if (cancel_ && *cancel_)
        return fail(QStringLiteral("Cancelled"));
    // The last moment the target is still the old file: the caller may stop here.
    if (beforeRename_ && !beforeRename_())
        return fail(QStringLiteral("Cancelled"));
    const OnCard call(clock_, CardCall::Write, tempPath_);
    const QString folder = tempPath_.left(tempPath_.size() - tempName_.size());
    const std::wstring target = nativePath(folder + targetName_);
    // A read-only old file would refuse to be replaced; a link's own attribute is left alone.
    const DWORD old = GetFileAttributesW(target.c_str());
    if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) &&
        !(old & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        SetFileAttributesW(target.c_str(), old & ~FILE_ATTRIBUTE_READONLY);
    // Renamed through our own open handle: what is renamed is the file this download wrote,
    // whatever else has meanwhile tried the temporary name. A link at the target's name is
    // replaced, not followed.
    DWORD error = renameHandle(handleOf(fd_), target);
    // The rename changed the folder's entries: written out through the same handle, so the
    // installed file is on the card under its new name before it is closed.
    if (error == ERROR_SUCCESS)
        (void)FlushFileBuffers(handleOf(fd_));
    const int fd = fd_;
    fd_ = -1;
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_INVALID_FUNCTION) {
        // A file system or system without renames by handle: by name, once ours is closed.
        if (_close(fd) != 0)
            return fail(QStringLiteral("The file could not be closed"));
        error = retryWhileHeld([&] {
            return MoveFileExW(nativePath(tempPath_).c_str(), target.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                       ? DWORD{ERROR_SUCCESS}
                       : GetLastError();
        });
    } else if (_close(fd) != 0 && error == ERROR_SUCCESS) {
        return fail(QStringLiteral("The file could not be closed"));
    }
    if (error != ERROR_SUCCESS)
        return failWith(error);
    tempPath_.clear();
    buffer_ = {};
    return true;
}

void ReplacingFile::discard() {
    writer_.reset();
    if (fd_ < 0 && tempPath_.isEmpty()) {
        buffer_ = {};
        used_ = 0;
        return;
    }
    const OnCard call(clock_, CardCall::Write, tempPath_);
    if (fd_ >= 0) {
        _close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.isEmpty()) {
        DeleteFileW(nativePath(tempPath_).c_str());
        tempPath_.clear();
    }
    buffer_ = {};
    used_ = 0;
}

bool makeOwnerOnlyFolder(const QString& folder) {
    return QDir(folder).exists() || QDir().mkpath(folder);
}

}  // namespace platform
