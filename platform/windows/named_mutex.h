#pragma once

#include <windows.h>

#include <QString>

namespace platform {
class FolderHandle;
}

namespace platform::win {

// A named mutex that is never owned: its name existing is what counts. Every user may open it
// to wait on it (SYNCHRONIZE) and none may do more, so no other user can change its security
// or hold it in a way the name outlives; the creator's own handle has SYNCHRONIZE alone too.
// The name goes with the last handle, also when the process holding it is killed.
struct NamedMutex {
    HANDLE handle = nullptr;  // null when it could be neither created nor opened
    bool existed = false;     // the name was there before
};
NamedMutex createNamedMutex(const QString& name);

// The Global\ name a running copy holds for the folder it was started from, which the
// installer and the uninstaller look for (installer.nsi spells it the same way): the folder's
// long form, upper case, "/" for "\". Empty when the name would be too long.
QString programFolderMutexName(const QString& folder);

// The Global\ name of the card lock on a folder: the same for every user and every drive
// letter the folder is reached by. Empty when the folder cannot be identified.
QString cardLockName(const FolderHandle& folder);

}  // namespace platform::win
