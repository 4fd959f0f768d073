#pragma once

#include <io.h>
#include <windows.h>

#include <QDir>
#include <QString>
#include <string>

// Helpers shared by the Windows platform files.
namespace platform::win {

// No "no disk", "not ready" or "write-protected" boxes of Windows' own: the failure comes back
// to the call instead. Set for the whole program at start-up.
constexpr UINT kQuietErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;

inline std::wstring wide(const QString& text) {
    return text.toStdWString();
}

inline QString fromWide(const wchar_t* text) {
    return QString::fromWCharArray(text);
}

// A path as Windows' own calls take it: backslashes, UTF-16.
inline std::wstring nativePath(const QString& path) {
    return wide(QDir::toNativeSeparators(path));
}

// The Win32 handle behind a C runtime descriptor.
inline HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// The system's text for a Win32 error code.
inline QString errorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    QString text = n > 0 ? QString::fromWCharArray(buffer, static_cast<qsizetype>(n)).trimmed()
                         : QStringLiteral("Windows error %1").arg(error);
    if (buffer)
        LocalFree(buffer);
    return text;
}

}  // namespace platform::win
