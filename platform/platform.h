#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "base/http_transfer.h"
#include "platform/card_calls.h"

class QObject;
class QWidget;

namespace platform {

struct Drive {
    QString root;     // where the card's folders start, e.g. "/media/user/SDCARD/"
    QString display;  // what the drive list shows
    // The volume now at root: on Windows its serial with bit 32 set (0 for a reader with no
    // card, since a card's serial may itself be 0), on Linux
    // the mount's ID. A reader that keeps its letter shows a new card only through this.
    quint64 identity = 0;
};

// What a flush of the card's volume achieved.
enum class VolumeFlush {
    Failed,   // the system could not write it out
    Flushed,  // written out, but the volume stays marked in use until the system ejects it
    Clean,    // written out and marked clean: the card may be pulled now
};

enum class SystemKind { Windows, Linux };
SystemKind thisSystem();

// Only FAT (12, 16, 32) on Windows is documented to write itself out and mark itself clean
// when its root folder is flushed; exFAT and NTFS are not, and Linux's vfat keeps its dirty
// flag from mount to unmount whatever is flushed.
VolumeFlush judgeVolumeFlush(SystemKind system, const QString& fileSystem, bool flushed);
// The line that tells the driver to eject the card through the system before taking it out.
QString ejectAdvice(SystemKind system);

struct DownloadOptions {
    TransferLimits limits{5000, 30000, 0};
    ProgressCallback progress;  // optional: bytes received so far
};

struct DownloadResult {
    bool ok = false;
    QString error;  // why it failed, for the developer's eyes; never a password
};

// Everything the program asks of the operating system. The program uses the one installed
// instance; tests install a recording fake.
class Platform {
  public:
    virtual ~Platform() = default;

    // A box with the given caption, one OK button and no icon; modal.
    virtual void messageBox(QWidget* owner, const QString& text, const QString& caption) = 0;
    // The application's standard error box: application title, stop icon, OK. The text is
    // shown as standardErrorText() makes it.
    virtual void errorBox(const QString& text) = 0;
    // A question with Yes and No, No the default; true for Yes. Modal.
    virtual bool askYesNo(QWidget* owner, const QString& text, const QString& caption) = 0;
    // Shows a web address in the default browser; failures are not reported.
    virtual void openUrl(QWidget* owner, const QString& url) = 0;

    // The folder of the program's executable, ending in a separator.
    virtual QString executableDir() = 0;
    // Full path of the user's own saved-login file; asking creates nothing.
    virtual QString savedLoginPath() = 0;
    // The saved-login file an earlier version kept for the whole PC, when it exists and the
    // current user owns it: read while the user has none of their own, removed after the next
    // save. Nothing where there never was one.
    virtual std::optional<QString> formerSavedLoginPath() { return std::nullopt; }
    // The user's cache folder for the program's own files, ending in a separator; it may not
    // exist yet.
    virtual QString cacheFolder() = 0;
    virtual QDateTime now() = 0;

    // Volumes that can hold a card, and the one that holds the current folder.
    virtual QList<Drive> drives() = 0;
    virtual QString currentDriveRoot() = 0;
    // Calls onChange from the calling thread's event loop whenever a volume is mounted or
    // unmounted, until the returned object is destroyed; null when the system cannot tell.
    virtual std::unique_ptr<QObject> watchDrives(std::function<void()> onChange) = 0;
    // Writes what the system still holds for the volume at root onto it, and says whether the
    // card may now be pulled without the system's eject.
    virtual VolumeFlush flushVolume(const QString& root) = 0;

    // Runs on the thread of each call on a card, before the call: a test holds it back to make a
    // card stop answering (the real systems do nothing). where names the card or its file.
    virtual void beforeCardCall(CardCall call, const QString& where) {
        (void)call;
        (void)where;
    }

    // Fetches url into targetPath, replacing it only once the whole file has arrived.
    virtual DownloadResult downloadToFile(const QString& url, const QString& targetPath,
                                          const DownloadOptions& options) = 0;
};

Platform& current();
// The installed instance, or null before one is installed.
Platform* installed();
// Installs the instance the program uses; returns the previous one. Not owned.
Platform* install(Platform* instance);

// The application title: caption of the standard error box.
QString applicationTitle();
// The error text with "." appended when its last character sorts above ".".
QString standardErrorText(const QString& text);

}  // namespace platform
