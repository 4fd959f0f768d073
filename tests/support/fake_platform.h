#pragma once

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/platform.h"

// Records every box and opened address instead of showing them, and answers at once.
// Downloads are real (tests run real servers); the clock, the folders and the drive list
// are set by the test.
class FakePlatform : public platform::Platform {
  public:
    struct Box {
        QString text;
        QString caption;
        bool error = false;
    };

    FakePlatform();
    ~FakePlatform() override;

    void messageBox(QWidget* owner, const QString& text, const QString& caption) override;
    void errorBox(const QString& text) override;
    bool askYesNo(QWidget* owner, const QString& text, const QString& caption) override;
    void openUrl(QWidget* owner, const QString& url) override;
    QString executableDir() override { return exeDir; }
    QString savedLoginPath() override { return loginPath; }
    std::optional<QString> formerSavedLoginPath() override {
        return formerLoginPath.isEmpty() ? std::nullopt : std::optional<QString>(formerLoginPath);
    }
    QString cacheFolder() override { return cacheDir; }
    QDateTime now() override { return clock; }
    QList<platform::Drive> drives() override { return driveList; }
    QString currentDriveRoot() override { return currentRoot; }
    std::unique_ptr<QObject> watchDrives(std::function<void()> onChange) override;
    // What the watcher reports when the test mounts or unmounts a volume.
    void drivesChanged();
    // Records the root, runs onFlush, and answers flushOutcome.
    platform::VolumeFlush flushVolume(const QString& root) override;
    platform::DownloadResult downloadToFile(const QString& url, const QString& targetPath,
                                            const platform::DownloadOptions& options) override;
    // Holds back the card calls that holdCardCalls() names, as a card that has stopped
    // answering; each waits until the calls are released.
    void beforeCardCall(platform::CardCall call, const QString& where) override;

    using CardCallFilter = std::function<bool(platform::CardCall call, const QString& where)>;
    // From now on every card call that which accepts waits (on its own thread) until released.
    void holdCardCalls(CardCallFilter which);
    // Lets every held call go on, and holds no more.
    void releaseCardCalls();
    // How many card calls are being held now.
    int heldCardCalls() const;
    // Waits (handling events) until count calls are held; false after ms.
    bool waitUntilHeld(int count, int ms = 5000) const;

    QStringList errorTexts() const;    // texts of the standard error boxes, as shown
    QStringList messageTexts() const;  // texts of the sTitle boxes

    QList<Box> boxes;
    QStringList openedUrls;
    QStringList downloadedUrls;
    QDateTime clock{QDate(2025, 3, 14), QTime(9, 30, 15)};
    QString exeDir;
    QString loginPath;
    QString formerLoginPath;  // the earlier version's file, when the user owns one
    QString cacheDir;
    bool answerYes = true;  // what askYesNo answers
    QStringList questions;
    QList<platform::Drive> driveList;
    QString currentRoot;
    QStringList flushedVolumes;
    // Written out but not known clean unless a test is about it, as on most systems.
    platform::VolumeFlush flushOutcome = platform::VolumeFlush::Flushed;
    std::function<void()> onFlush;  // runs as the flush is asked for, e.g. to look at the card
    std::function<void()> onBox;    // runs while a box is "open", e.g. to count or act
    std::function<void()> onDrivesChanged;  // the watcher's callback, while one watches

  private:
    mutable std::mutex cardMutex_;
    std::condition_variable cardReleased_;
    CardCallFilter holding_;
    quint64 releases_ = 0;
    int held_ = 0;
    QTemporaryDir scratch_;
    platform::Platform* previous_ = nullptr;
};
