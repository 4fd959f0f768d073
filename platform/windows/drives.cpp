#include "platform/windows/drives.h"

#include <windows.h>

#include <algorithm>

#include "platform/card_calls.h"
#include "platform/windows/win32.h"
#include "platform/windows/windows_platform.h"

namespace platform {
namespace win {
namespace {

bool isFatFileSystem(const QString& name) {
    return name.compare(QLatin1String("FAT"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("FAT32"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("exFAT"), Qt::CaseInsensitive) == 0;
}

// Asking an empty card reader for its volume must not make Windows show "no disk" boxes. The
// program sets the same mode for the whole process at start (WindowsPlatform); this keeps the
// drive list quiet for a caller that has not.
class QuietDriveErrors {
  public:
    QuietDriveErrors() { SetThreadErrorMode(kQuietErrorMode, &previous_); }
    ~QuietDriveErrors() { SetThreadErrorMode(previous_, nullptr); }
    QuietDriveErrors(const QuietDriveErrors&) = delete;
    QuietDriveErrors& operator=(const QuietDriveErrors&) = delete;

  private:
    DWORD previous_ = 0;
};

}  // namespace

QList<Drive> cardDrives(const QList<LogicalDrive>& drives, QChar windowsLetter) {
    QList<LogicalDrive> sorted = drives;
    std::sort(sorted.begin(), sorted.end(), [](const LogicalDrive& a, const LogicalDrive& b) {
        return a.letter.toLower() < b.letter.toLower();
    });
    QList<Drive> cards;
    for (const LogicalDrive& d : sorted) {
        const QChar letter = d.letter.toLower();
        if (letter == windowsLetter.toLower())
            continue;
        const bool removable = d.type == DRIVE_REMOVABLE;
        if (!removable && (d.type != DRIVE_FIXED || !isFatFileSystem(d.fileSystem)))
            continue;
        QString display = QString(letter) + QLatin1Char(':');
        if (!removable && !d.label.isEmpty())
            display += QStringLiteral(" [") + d.label + QLatin1Char(']');
        cards.append(Drive{QString(letter) + QStringLiteral(":\\"), display,
                           // A card's serial may itself be 0: the bit above says a card is in.
                           d.fileSystem.isEmpty() ? 0 : (quint64{1} << 32 | d.serial)});
    }
    return cards;
}

static_assert(kDriveRemovable == DRIVE_REMOVABLE && kDriveFixed == DRIVE_FIXED);

DrivePoller::System driveCalls() {
    const auto rootOf = [](QChar letter) {
        return std::wstring{static_cast<wchar_t>(letter.unicode()), L':', L'\\'};
    };
    return DrivePoller::System{
        [] { return static_cast<quint32>(GetLogicalDrives()); },
        [rootOf](QChar letter) {
            const QuietDriveErrors quiet;
            return static_cast<unsigned>(GetDriveTypeW(rootOf(letter).c_str()));
        },
        [rootOf](QChar letter) {
            const QuietDriveErrors quiet;
            // Where a worn card or a hung reader holds the call; the root as the list spells it.
            const CardCallScope onCard(nullptr, CardCall::Look,
                                       QString(letter.toLower()) + QStringLiteral(":\\"));
            DrivePoller::Volume volume;
            wchar_t label[MAX_PATH + 1] = {};
            wchar_t fileSystem[MAX_PATH + 1] = {};
            DWORD serial = 0;
            if (GetVolumeInformationW(rootOf(letter).c_str(), label, MAX_PATH + 1, &serial, nullptr,
                                      nullptr, fileSystem, MAX_PATH + 1)) {
                volume.fileSystem = fromWide(fileSystem);
                volume.label = fromWide(label);
                volume.serial = serial;
            }
            return volume;
        },
    };
}

QChar windowsDriveLetter() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT n = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
    return n >= 2 && folder[1] == L':' ? QChar(folder[0]) : QChar();
}

}  // namespace win

win::DrivePoller& WindowsPlatform::drivePoller() {
    const std::lock_guard<std::mutex> lock(pollerMutex_);
    if (!poller_) {
        poller_ = std::make_unique<win::DrivePoller>(win::driveCalls());
        // Polled rather than told by WM_DEVICECHANGE: that needs a window of the Windows
        // platform plugin, and a reader's card is not always announced.
        poller_->start(std::chrono::seconds{1});
        // Long enough for drives that answer, so that start-up finds the current folder's
        // drive; a drive that does not answer shows up once it does.
        poller_->waitUntilAnswered(std::chrono::milliseconds{200});
    }
    return *poller_;
}

QList<Drive> WindowsPlatform::drives() {
    return win::cardDrives(drivePoller().drives(), win::windowsDriveLetter());
}

std::unique_ptr<QObject> WindowsPlatform::watchDrives(std::function<void()> onChange) {
    return drivePoller().watch(std::move(onChange));
}

QString WindowsPlatform::currentDriveRoot() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(size + 1, L'\0');
    const DWORD n = GetCurrentDirectoryW(size + 1, folder.data());
    folder.resize(n);
    return win::driveRootOfFolder(win::fromWide(folder.c_str()));
}

}  // namespace platform
