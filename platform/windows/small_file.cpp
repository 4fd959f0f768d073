#include "platform/small_file.h"

#include <windows.h>

#include <QDir>

#include "platform/windows/win_text.h"
#include "service/errors.h"

namespace platform {
namespace {

[[noreturn]] void cannotOpen(const QString& path, const QString& reason) {
    throw FileError(
        QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(path), reason));
}

}  // namespace

QByteArray readSmallFile(const QString& path, qint64 maxBytes, const QString& tooLargeReason) {
    const HANDLE file = CreateFileW(win::wide(QDir::toNativeSeparators(path)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        cannotOpen(path, win::errorText(GetLastError()));
    struct Closer {
        HANDLE handle;
        ~Closer() { CloseHandle(handle); }
    } closer{file};
    // A pipe or a device in the file's place could hang the program or never end.
    if (GetFileType(file) != FILE_TYPE_DISK)
        cannotOpen(path, QStringLiteral("Not a regular file."));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        cannotOpen(path, win::errorText(GetLastError()));
    if (size.QuadPart > maxBytes)
        cannotOpen(path, tooLargeReason);
    QByteArray bytes(maxBytes + 1, Qt::Uninitialized);
    qsizetype used = 0;
    while (used < bytes.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<qsizetype>(bytes.size() - used, 1 << 20));
        if (!ReadFile(file, bytes.data() + used, want, &n, nullptr))
            throw FileError(
                QStringLiteral("Cannot read file \"%1\". %2")
                    .arg(QDir::toNativeSeparators(path), win::errorText(GetLastError())));
        if (n == 0)
            break;
        used += n;
    }
    if (used > maxBytes)
        cannotOpen(path, tooLargeReason);
    bytes.truncate(used);
    return bytes;
}

}  // namespace platform
