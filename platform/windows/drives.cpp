#include "platform/windows/drives.h"

#include <windows.h>

#include <QTimer>
#include <algorithm>

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

namespace {

struct DriveState {
    LogicalDrive drive;
    DWORD serial = 0;  // of the volume in it; 0 when empty or not asked
};

// Every drive letter in use, with its kind; removable and fixed drives also with their volume.
// Network and optical drives are never cards, and asking them can take seconds.
QList<DriveState> driveStates() {
    QuietDriveErrors quiet;
    QList<DriveState> states;
    const DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (DWORD{1} << i)))
            continue;
        DriveState state;
        state.drive.letter = QChar(u'A' + i);
        const std::wstring root{static_cast<wchar_t>(L'A' + i), L':', L'\\'};
        state.drive.type = GetDriveTypeW(root.c_str());
        if (state.drive.type == DRIVE_REMOVABLE || state.drive.type == DRIVE_FIXED) {
            wchar_t label[MAX_PATH + 1] = {};
            wchar_t fileSystem[MAX_PATH + 1] = {};
            if (GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &state.serial, nullptr,
                                      nullptr, fileSystem, MAX_PATH + 1)) {
                state.drive.label = fromWide(label);
                state.drive.fileSystem = fromWide(fileSystem);
                state.drive.serial = state.serial;
            }
        }
        states.append(state);
    }
    return states;
}

}  // namespace

QList<LogicalDrive> logicalDrives() {
    QList<LogicalDrive> drives;
    for (const DriveState& state : driveStates())
        drives.append(state.drive);
    return drives;
}

QList<quint64> driveSignature() {
    QList<quint64> signature;
    for (const DriveState& state : driveStates()) {
        const quint64 index = state.drive.letter.unicode() - u'A';
        const quint64 medium = state.drive.fileSystem.isEmpty() ? 0 : 1;
        signature.append(index << 40 | medium << 39 | quint64(state.drive.type) << 32 |
                         state.serial);
    }
    return signature;
}

QChar windowsDriveLetter() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT n = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
    return n >= 2 && folder[1] == L':' ? QChar(folder[0]) : QChar();
}

}  // namespace win

QList<Drive> WindowsPlatform::drives() {
    return win::cardDrives(win::logicalDrives(), win::windowsDriveLetter());
}

std::unique_ptr<QObject> WindowsPlatform::watchDrives(std::function<void()> onChange) {
    // Polled rather than told by WM_DEVICECHANGE: that needs a window of the Windows
    // platform plugin, and a reader's card is not always announced.
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(1000);
    QObject::connect(timer.get(), &QTimer::timeout, timer.get(),
                     [last = win::driveSignature(), onChange = std::move(onChange)]() mutable {
                         QList<quint64> now = win::driveSignature();
                         if (now == last)
                             return;
                         last = std::move(now);
                         onChange();
                     });
    timer->start();
    return timer;
}

QString WindowsPlatform::currentDriveRoot() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(size + 1, L'\0');
    const DWORD n = GetCurrentDirectoryW(size + 1, folder.data());
    folder.resize(n);
    std::wstring volume(folder.size() + 2, L'\0');
    if (!GetVolumePathNameW(folder.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
        return {};
    QString root = win::fromWide(volume.c_str());
    // The drive list spells letters in lower case.
    if (root.size() >= 2 && root.at(1) == QLatin1Char(':'))
        root[0] = root.at(0).toLower();
    return root;
}

}  // namespace platform
