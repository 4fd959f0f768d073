#include "platform/downloads.h"

#include <io.h>
#include <windows.h>

#include <QDir>
#include <algorithm>
#include <cstring>

#include "platform/windows/win_text.h"
#include "service/errors.h"

// The Windows side of the card writes: the file is written through to the card, flushed with
// FlushFileBuffers and then moved over the target in one step; a reparse point in the
// temporary file's place is removed, never followed. The handle is kept as a C runtime
// descriptor so that the class looks the same on both systems.
namespace platform {
namespace {

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

std::wstring nativePath(const QString& path) {
    return win::wide(QDir::toNativeSeparators(path));
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

}  // namespace

// Writes are made in the caller's thread on Windows; the class is declared for both systems.
class ReplacingFile::Writer {};

ReplacingFile::ReplacingFile() = default;

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
    // One fixed name beside the target, reused by the next download after a failed one.
    const QString name = targetPath + QStringLiteral(".part");
    const std::wstring native = nativePath(name);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link left in its place: removing it leaves what it points to alone.
        if (!((attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(native.c_str())
                                                      : DeleteFileW(native.c_str()))) {
            error_ = win::errorText(GetLastError());
            return false;
        }
    }
    const HANDLE file = CreateFileW(
        native.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = win::errorText(GetLastError());
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), 0);
    if (fd < 0) {
        CloseHandle(file);
        DeleteFileW(native.c_str());
        error_ = QStringLiteral("No file descriptor is left");
        return false;
    }
    fd_ = fd;
    tempPath_ = name;
    buffer_.resize(kBufferBytes);
    used_ = 0;
    return true;
}

bool ReplacingFile::flushBuffer() {
    if (const DWORD error = writeAll(handleOf(fd_), buffer_.data(), used_); error != 0)
        return fail(win::errorText(error));
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
        const std::size_t take = std::min(buffer_.size() - used_, size);
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
    if (!FlushFileBuffers(handleOf(fd_)))
        return fail(win::errorText(GetLastError()));
    const int fd = fd_;
    fd_ = -1;
    if (_close(fd) != 0)
        return fail(QStringLiteral("The file could not be closed"));
    const std::wstring temp = nativePath(tempPath_);
    if (!MoveFileExW(temp.c_str(), nativePath(targetPath_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error_ = win::errorText(GetLastError());
        DeleteFileW(temp.c_str());
        tempPath_.clear();
        return false;
    }
    tempPath_.clear();
    buffer_ = {};
    return true;
}

void ReplacingFile::discard() {
    writer_.reset();
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

DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options) {
    ReplacingFile file;
    if (!file.open(targetPath))
        return DownloadResult{false, file.errorText()};
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
    if (!file.commit())
        return DownloadResult{false, file.errorText()};
    return DownloadResult{true, {}};
}

}  // namespace platform
