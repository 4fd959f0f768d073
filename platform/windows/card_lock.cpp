#include "platform/card_lock.h"

#include <QString>

#include "platform/folder_handle.h"
#include "platform/windows/named_mutex.h"
#include "platform/windows/win32.h"

// The lock is the named object's existence, not its ownership, which belongs to a thread: the
// download takes it on its worker thread, which has ended by the time another thread has
// written the card info file and lets it go.
namespace platform {

namespace win {

QString cardLockName(const FolderHandle& folder) {
    BY_HANDLE_FILE_INFORMATION info{};
    const HANDLE handle = handleOf(folder.fd());
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return {};
    // The volume's serial and the folder's index; Global\ reaches other sessions.
    return QStringLiteral("Global\\MORVEL_Drivoro_Card_%1_%2%3")
        .arg(info.dwVolumeSerialNumber, 8, 16, QLatin1Char('0'))
        .arg(info.nFileIndexHigh, 8, 16, QLatin1Char('0'))
        .arg(info.nFileIndexLow, 8, 16, QLatin1Char('0'));
}

}  // namespace win

std::shared_ptr<CardLock> CardLock::take(const FolderHandle& folder) {
    const QString name = win::cardLockName(folder);
    if (name.isEmpty())
        return nullptr;
    const win::NamedMutex mutex = win::createNamedMutex(name);
    // No handle: another user's program made it and this one may not open it (or the name is
    // taken by an object of another kind); either way the folder is not ours now.
    if (!mutex.handle)
        return nullptr;
    if (mutex.existed) {
        // Kept open, our handle would keep the name alive after its holder has gone.
        CloseHandle(mutex.handle);
        return nullptr;
    }
    std::shared_ptr<CardLock> lock(new CardLock);
    lock->mutex_ = mutex.handle;
    return lock;
}

CardLock::~CardLock() {
    if (mutex_)
        CloseHandle(static_cast<HANDLE>(mutex_));
}

}  // namespace platform
