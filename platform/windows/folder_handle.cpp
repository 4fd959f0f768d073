#include "platform/folder_handle.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <QDir>
#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/errors.h"
#include "platform/windows/win32.h"

// The Windows side: the folder is a handle opened with backup semantics (the only way to
// open a folder), kept as a C runtime descriptor so that the class is the same on both
// systems. A folder on the card is opened without following a reparse point (a junction or
// a symbolic link planted on the card), and the handle does not share deletion, so the
// folder cannot be renamed or replaced by a junction while it is held; its files are reached
// by their path inside it.
namespace platform {
namespace {

using win::handleOf;
using win::nativePath;

QString withSeparator(const QString& path) {
    return path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\'))
               ? path
               : path + QLatin1Char('\\');
}

bool isMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Shared callers report a failed removal with errno.
int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        default:
            return EIO;
    }
}

// What Windows knows of an open folder or file; FileError ("Cannot open file ...", named
// reportAs) when it cannot tell.
BY_HANDLE_FILE_INFORMATION informationOf(HANDLE handle, const QString& reportAs) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        throw FileError::cannotOpen(reportAs, win::errorText(GetLastError()));
    return info;
}

// A folder handle as a descriptor; -1 with the error code set when it cannot be opened.
int openFolder(const QString& path, bool followReparsePoint) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followReparsePoint ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE folder =
        CreateFileW(nativePath(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(folder), _O_RDONLY);
    if (fd < 0) {
        CloseHandle(folder);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return fd;
}

}  // namespace

FolderHandle::~FolderHandle() {
    if (fd_ >= 0)
        _close(fd_);
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            _close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

FolderHandle FolderHandle::open(const QString& path, const QString& reportAs) {
    const QString named = reportAs.isEmpty() ? path : reportAs;
    const int fd = openFolder(path, true);
    if (fd < 0)
        throw FileError::cannotOpen(named, win::errorText(GetLastError()));
    FolderHandle folder(fd, withSeparator(path));
    const BY_HANDLE_FILE_INFORMATION info = informationOf(handleOf(fd), named);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        throw FileError::cannotOpen(named, QStringLiteral("폴더가 아닙니다."));
    return folder;
}

bool FolderHandle::stillAtItsPath() const {
    // A volume serial and a file index name one folder on one volume; a card swapped into the
    // same letter has another serial.
    const int fd = openFolder(path_, true);
    if (fd < 0)
        return false;
    BY_HANDLE_FILE_INFORMATION named{};
    BY_HANDLE_FILE_INFORMATION held{};
    const bool known = GetFileInformationByHandle(handleOf(fd), &named) &&
                       GetFileInformationByHandle(handleOf(fd_), &held);
    _close(fd);
    return known && named.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
           named.nFileIndexHigh == held.nFileIndexHigh &&
           named.nFileIndexLow == held.nFileIndexLow;
}

FolderHandle FolderHandle::openBeneath(const QString& root, const QString& relative) {
    FolderHandle folder = open(root);
    const BY_HANDLE_FILE_INFORMATION rootInfo = informationOf(handleOf(folder.fd_), root);
    QString unified = relative;
    unified.replace(QLatin1Char('/'), QLatin1Char('\\'));
    for (const QString& segment : unified.split(QLatin1Char('\\'), Qt::SkipEmptyParts)) {
        const QString path = folder.path_ + segment;
        if (segment == QStringLiteral(".."))
            throw FileError::cannotOpen(path, QStringLiteral("SD카드 밖의 폴더입니다."));
        // The parent is still held, so the name is looked up in the folder just checked.
        const int fd = openFolder(path, false);
        if (fd < 0)
            throw FileError::cannotOpen(path, win::errorText(GetLastError()));
        FolderHandle next(fd, withSeparator(path));
        const BY_HANDLE_FILE_INFORMATION info = informationOf(handleOf(fd), path);
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            throw FileError::cannotOpen(path, QStringLiteral("폴더가 아닙니다."));
        // A volume mounted inside the card is not the card.
        if (info.dwVolumeSerialNumber != rootInfo.dwVolumeSerialNumber)
            throw FileError::cannotOpen(path, QStringLiteral("SD카드에 있는 폴더가 아닙니다."));
        folder = std::move(next);
    }
    return folder;
}

bool FolderHandle::contains(const QString& name) const {
    // The attributes of a link itself, not of what it points to.
    return GetFileAttributesW(nativePath(filePath(name)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FolderHandle::holdsRegularFile(const QString& name) const {
    const DWORD attributes = GetFileAttributesW(nativePath(filePath(name)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

qint64 FolderHandle::freeBytes() const {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(nativePath(path_).c_str(), &available, nullptr, nullptr))
        return -1;
    return static_cast<qint64>(available.QuadPart);
}

bool FolderHandle::readOnlyVolume() const {
    DWORD flags = 0;
    return GetVolumeInformationByHandleW(handleOf(fd_), nullptr, 0, nullptr, nullptr, &flags,
                                         nullptr, 0) &&
           (flags & FILE_READ_ONLY_VOLUME) != 0;
}

std::optional<qint64> FolderHandle::regularFileSize(const QString& name) const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(nativePath(filePath(name)).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        if (isMissing(error))
            return std::nullopt;
        throw FileError::cannotOpen(filePath(name), win::errorText(error));
    }
    if (data.dwFileAttributes &
        (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        throw FileError::cannotOpen(filePath(name), QStringLiteral("보통 파일이 아닙니다."));
    return static_cast<qint64>((quint64{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
}

QByteArray FolderHandle::readSmallFile(const QString& name, qint64 maxBytes,
                                       const QString& tooLargeReason) const {
    const QString path = filePath(name);
    const HANDLE file =
        CreateFileW(nativePath(path).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw FileError::cannotOpen(path, win::errorText(GetLastError()));
    struct Closer {
        HANDLE handle;
        ~Closer() { CloseHandle(handle); }
    } closer{file};
    const BY_HANDLE_FILE_INFORMATION info = informationOf(file, path);
    // A link, a folder or a device in the file's place could lead elsewhere or never end.
    if (GetFileType(file) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        throw FileError::cannotOpen(path, QStringLiteral("보통 파일이 아닙니다."));
    if (((quint64{info.nFileSizeHigh} << 32) | info.nFileSizeLow) > quint64(maxBytes))
        throw FileError::cannotOpen(path, tooLargeReason);
    QByteArray bytes(maxBytes + 1, Qt::Uninitialized);
    qsizetype used = 0;
    while (used < bytes.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<qsizetype>(bytes.size() - used, 1 << 20));
        if (!ReadFile(file, bytes.data() + used, want, &n, nullptr))
            throw FileError::cannotRead(path, win::errorText(GetLastError()));
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
    const std::wstring path = nativePath(filePath(name));
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        errno = errnoOf(error);
        return isMissing(error);
    }
    bool removed = false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A junction or a folder link goes, never what it points to; an empty folder goes
        // too; a full one is not ours to empty.
        removed = RemoveDirectoryW(path.c_str());
    } else {
        // A read-only leftover would refuse to go; a link's own attribute is left alone, as
        // setting it could reach what the link points to.
        if ((attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        removed = DeleteFileW(path.c_str());
    }
    if (!removed) {
        const DWORD error = GetLastError();
        errno = errnoOf(error);
        return isMissing(error);
    }
    return true;
}

void FolderHandle::sync() const {
    // Nothing it can do: a folder handle opened for reading cannot be flushed on Windows. The
    // rename through the file's own handle (ReplacingFile::commit) is not written through;
    // that handle is flushed once more after it instead.
}

}  // namespace platform
