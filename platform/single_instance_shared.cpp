#include "platform/single_instance.h"

#include <QDir>
#include <QStandardPaths>
#include <QSysInfo>

namespace platform {

bool SingleInstance::claim(std::function<void()> onCall) {
    onCall_ = std::move(onCall);
    // Before the lock: a later start signals as soon as it sees the lock, and an unhandled
    // signal would end this copy.
    listen();
    // The config folder follows HOME; the runtime folder is not always there.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QDir().mkpath(folder);
    // Named per computer: a home folder shared between computers holds the locks of copies
    // running elsewhere, which say nothing about this one.
    QString hostName = QSysInfo::machineHostName();
    for (QChar& c : hostName) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('-') &&
            c != QLatin1Char('.'))
            c = QLatin1Char('_');
    }
    lock_ = std::make_unique<QLockFile>(folder +
                                        QStringLiteral("/MORVEL_Drivoro-%1.lock").arg(hostName));
    // A lock is stale only when its process is gone, never by its age.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0))
        return true;
    if (lock_->error() != QLockFile::LockFailedError)
        return true;  // the folder cannot hold a lock: better two copies than none
    qint64 pid = 0;
    QString host;
    QString application;
    // The home folder may be shared with other computers: a number there is no process here.
    if (lock_->getLockInfo(&pid, &host, &application) && host == QSysInfo::machineHostName())
        askToComeForward(pid);
    return false;
}

}  // namespace platform
