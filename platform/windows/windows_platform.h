#pragma once

#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/windows/drive_poller.h"

namespace platform {

// The real platform layer on Windows. Each group of calls lives in its own file beside this
// one: boxes, browser, drives, folders.
class WindowsPlatform : public Platform {
  public:
    // Switches Windows' own error boxes off for the whole program (win::kQuietErrorMode).
    WindowsPlatform();
    // Uninstalls itself when installed: a drive poll call still out must not reach it.
    ~WindowsPlatform() override;
    void messageBox(QWidget* owner, const QString& text, const QString& caption) override;
    void errorBox(const QString& text) override;
    bool askYesNo(QWidget* owner, const QString& text, const QString& caption) override;
    void openUrl(QWidget* owner, const QString& url) override;
    QString executableDir() override;
    QString savedLoginPath() override;
    std::optional<QString> formerSavedLoginPath() override;
    QString cacheFolder() override;
    QDateTime now() override;
    QList<Drive> drives() override;
    QString currentDriveRoot() override;
    std::unique_ptr<QObject> watchDrives(std::function<void()> onChange) override;
    VolumeFlush flushVolume(const QString& root) override;
    DownloadResult downloadToFile(const QString& url, const QString& targetPath,
                                  const DownloadOptions& options) override;

  private:
    // Started by the first look at the drives; its calls never run on the caller's thread.
    win::DrivePoller& drivePoller();

    std::mutex pollerMutex_;
    std::unique_ptr<win::DrivePoller> poller_;
};

}  // namespace platform
