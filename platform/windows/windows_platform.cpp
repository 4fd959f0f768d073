#include "platform/windows/windows_platform.h"

#include <windows.h>

#include "platform/downloads.h"
#include "platform/windows/proxy_settings.h"
#include "platform/windows/win32.h"

namespace platform {

WindowsPlatform::WindowsPlatform() {
    // Any look at an empty card slot or a locked card (the card read, the room check, the
    // writes, on any thread) would otherwise make Windows ask the user with a box of its own.
    SetErrorMode(GetErrorMode() | win::kQuietErrorMode);
    // libcurl reads none of the user's proxy settings; every transfer follows them. main()
    // has usually started the look-up already.
    win::ensureUserProxyRouter();
}

WindowsPlatform::~WindowsPlatform() {
    if (installed() == this)
        install(nullptr);
}

VolumeFlush WindowsPlatform::flushVolume(const QString& root) {
    wchar_t volume[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(win::nativePath(root).c_str(), volume, MAX_PATH + 1))
        return VolumeFlush::Failed;
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                               MAX_PATH + 1))
        fileSystem[0] = 0;
    // The volume's root folder, not the volume itself (\\.\E:, which only an administrator may
    // open): the FAT driver flushes the whole volume for it and marks it clean; other file
    // systems document no such thing.
    const HANDLE folder = CreateFileW(volume, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return VolumeFlush::Failed;
    const bool flushed = FlushFileBuffers(folder);
    CloseHandle(folder);
    return judgeVolumeFlush(SystemKind::Windows, QString::fromWCharArray(fileSystem), flushed);
}

QDateTime WindowsPlatform::now() {
    return QDateTime::currentDateTime();
}

DownloadResult WindowsPlatform::downloadToFile(const QString& url, const QString& targetPath,
                                               const DownloadOptions& options) {
    return downloadUrlToFile(url, targetPath, options);
}

}  // namespace platform
