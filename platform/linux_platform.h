#pragma once

#include <mutex>

#include "platform/drives.h"
#include "platform/platform.h"

namespace platform {

// The real platform layer on Linux.
class LinuxPlatform : public Platform {
  public:
    void messageBox(QWidget* owner, const QString& text, const QString& caption) override;
    void errorBox(const QString& text) override;
    bool askYesNo(QWidget* owner, const QString& text, const QString& caption) override;
    void openUrl(QWidget* owner, const QString& url) override;
    QString executableDir() override;
    QString savedLoginPath() override;
    QString cacheFolder() override;
    QDateTime now() override;
    QList<Drive> drives() override;
    QString currentDriveRoot() override;
    std::unique_ptr<QObject> watchDrives(std::function<void()> onChange) override;
    VolumeFlush flushVolume(const QString& root) override;
    DownloadResult downloadToFile(const QString& url, const QString& targetPath,
                                  const DownloadOptions& options) override;

  private:
    // A volume's identity changes whenever it may have been another card.
    std::mutex keysMutex_;
    VolumeKeys keys_;
};

}  // namespace platform
