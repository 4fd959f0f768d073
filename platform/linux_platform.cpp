#include "platform/linux_platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QStandardPaths>
#include <QUrl>
#include <utility>

#include "platform/box_owner.h"
#include "platform/downloads.h"
#include "platform/drives.h"
#include "platform/mount_watcher.h"

namespace platform {

void LinuxPlatform::messageBox(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    // Texts come from the service and from folder names: never taken for markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void LinuxPlatform::errorBox(const QString& text) {
    QMessageBox box(QMessageBox::Critical, applicationTitle(), standardErrorText(text),
                    QMessageBox::Ok, boxOwner(nullptr, QApplication::topLevelWidgets()).window);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool LinuxPlatform::askYesNo(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    owner);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void LinuxPlatform::openUrl(QWidget*, const QString& url) {
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

QString LinuxPlatform::executableDir() {
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + QDir::separator();
}

QString LinuxPlatform::savedLoginPath() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base + QStringLiteral("/MORVEL_Drivoro/tindrakhid.ini");
}

QString LinuxPlatform::cacheFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/MORVEL_Drivoro/");
}

QDateTime LinuxPlatform::now() {
    return QDateTime::currentDateTime();
}

QList<Drive> LinuxPlatform::drives() {
    const std::lock_guard<std::mutex> lock(keysMutex_);
    return mountedCardVolumes(&keys_);
}

QString LinuxPlatform::currentDriveRoot() {
    return volumeRootOf(QDir::currentPath());
}

std::unique_ptr<QObject> LinuxPlatform::watchDrives(std::function<void()> onChange) {
    return MountWatcher::create(std::move(onChange));
}

VolumeFlush LinuxPlatform::flushVolume(const QString& root) {
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return VolumeFlush::Failed;
    const bool flushed = ::syncfs(fd) == 0;
    ::close(fd);
    return judgeVolumeFlush(SystemKind::Linux, QString(), flushed);
}

DownloadResult LinuxPlatform::downloadToFile(const QString& url, const QString& targetPath,
                                             const DownloadOptions& options) {
    return downloadUrlToFile(url, targetPath, options);
}

}  // namespace platform
