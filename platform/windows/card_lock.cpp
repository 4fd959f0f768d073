#include "platform/card_lock.h"

#include <QSet>
#include <QString>
#include <mutex>

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

namespace {

std::mutex g_heldMutex;
QSet<QString> g_held;

// The mark of a finishing copy beside the card's lock; Global\ like it, so that it is seen from
// the session the next start runs in.
QString endingMarkName(const QString& lockName) {
    return lockName.isEmpty() ? QString()
                              : QString(lockName).replace(QStringLiteral("_Card_"),
                                                          QStringLiteral("_CardEnding_"));
}

}  // namespace

QString CardLock::identity(const FolderHandle& folder) {
    return win::cardLockName(folder);
}

std::shared_ptr<CardLock> CardLock::take(const FolderHandle& folder) {
    const QString name = identity(folder);
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
    lock->identity_ = name;
    const std::lock_guard<std::mutex> held(g_heldMutex);
    g_held.insert(name);
    return lock;
}

CardLock::~CardLock() {
    {
        const std::lock_guard<std::mutex> held(g_heldMutex);
        g_held.remove(identity_);
    }
    if (mutex_)
        CloseHandle(static_cast<HANDLE>(mutex_));
}

void CardLock::markHoldersEnding() {
    const std::lock_guard<std::mutex> held(g_heldMutex);
    // Left open: the name goes with the process.
    for (const QString& card : std::as_const(g_held))
        win::createNamedMutex(endingMarkName(card));
}

bool CardLock::heldByEndingCopy(const FolderHandle& folder) {
    const QString name = endingMarkName(identity(folder));
    if (name.isEmpty())
        return false;
    const std::wstring wideName = name.toStdWString();
    const HANDLE mark = OpenMutexW(SYNCHRONIZE, FALSE, wideName.c_str());
    if (mark) {
        CloseHandle(mark);
        return true;
    }
    // Another user's finishing copy may keep us from opening it; it is there all the same.
    return GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace platform
