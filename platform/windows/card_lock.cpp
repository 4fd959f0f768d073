#include "platform/card_lock.h"

#include <io.h>

#include <QString>

#include "platform/folder_handle.h"
#include "platform/windows/win32.h"

namespace platform {

std::shared_ptr<CardLock> CardLock::take(const FolderHandle& folder) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(folder.fd()));
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return nullptr;
    // The volume's serial and the folder's index name the same folder for every user and
    // every drive letter it is reached by; Global\ reaches other sessions.
    const QString name = QStringLiteral("Global\\MORVEL_Drivoro_Card_%1_%2%3")
                             .arg(info.dwVolumeSerialNumber, 8, 16, QLatin1Char('0'))
                             .arg(info.nFileIndexHigh, 8, 16, QLatin1Char('0'))
                             .arg(info.nFileIndexLow, 8, 16, QLatin1Char('0'));
    // Any user may open what another created: an empty DACL, nothing else is guarded by it.
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    const HANDLE mutex =
        CreateMutexW(&attributes, TRUE, reinterpret_cast<const wchar_t*>(name.utf16()));
    if (!mutex)
        return nullptr;  // ERROR_ACCESS_DENIED: another user's program holds it
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Ours only when its holder is gone: an abandoned mutex is handed over.
        const DWORD wait = WaitForSingleObject(mutex, 0);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
            CloseHandle(mutex);
            return nullptr;
        }
    }
    std::shared_ptr<CardLock> lock(new CardLock);
    lock->mutex_ = mutex;
    return lock;
}

CardLock::~CardLock() {
    if (mutex_) {
        ReleaseMutex(static_cast<HANDLE>(mutex_));
        CloseHandle(static_cast<HANDLE>(mutex_));
    }
}

}  // namespace platform
