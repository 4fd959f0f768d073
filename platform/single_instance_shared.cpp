#include "platform/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>

namespace platform {

bool SingleInstance::claim(std::function<void()> onCall) {
    onCall_ = std::move(onCall);
    // Before the lock: a later start signals as soon as it sees the lock, and an unhandled
    // signal would end this copy.
    listen();
    QDir().mkpath(QFileInfo(lockPath()).path());
    lock_ = std::make_unique<QLockFile>(lockPath());
    // A lock is stale only when its process is gone, never by its age.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0))
        return true;
    if (lock_->error() != QLockFile::LockFailedError)
        return true;  // the folder cannot hold a lock: better two copies than none
    qint64 pid = 0;
    QString host;
    QString application;
    const bool known = lock_->getLockInfo(&pid, &host, &application);
    // Left by a copy that was killed, whose process number this copy has been given again
    // (after a restart, or always under Wine): it names no other copy.
    if (known && pid == QCoreApplication::applicationPid()) {
        lock_->removeStaleLockFile();
        if (lock_->tryLock(0))
            return true;
    }
    // The home folder may be shared with other computers: a number there is no process here.
    if (known && host == QSysInfo::machineHostName())
        askToComeForward(pid);
    return false;
}

QString SingleInstance::lockPath() {
    // The config folder follows HOME; the runtime folder is not always there.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    // Named per computer: a home folder shared between computers holds the locks of copies
    // running elsewhere, which say nothing about this one.
    QString hostName = QSysInfo::machineHostName();
    for (QChar& c : hostName) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('-') &&
            c != QLatin1Char('.'))
            c = QLatin1Char('_');
    }
    return folder + QStringLiteral("/MORVEL_Drivoro-%1.lock").arg(hostName);
}

}  // namespace platform
