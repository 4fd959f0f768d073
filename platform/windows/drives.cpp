#include "platform/windows/drives.h"

#include <windows.h>

#include <algorithm>

#include "platform/windows/win_text.h"
#include "platform/windows/windows_platform.h"

namespace platform {
namespace win {
namespace {

bool isFatFileSystem(const QString& name) {
    return name.compare(QLatin1String("FAT"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("FAT32"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("exFAT"), Qt::CaseInsensitive) == 0;
}

// Asking an empty card reader for its volume must not make Windows show "no disk" boxes.
class QuietDriveErrors {
  public:
    QuietDriveErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_); }
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
        if (!removable && !isFatFileSystem(d.fileSystem))
            continue;
        QString display = QString(letter) + QLatin1Char(':');
        if (!removable && !d.label.isEmpty())
            display += QStringLiteral(" [") + d.label + QLatin1Char(']');
        cards.append(Drive{QString(letter) + QStringLiteral(":\\"), display});
    }
    return cards;
}

QList<LogicalDrive> logicalDrives() {
    QuietDriveErrors quiet;
    QList<LogicalDrive> drives;
    const DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (DWORD{1} << i)))
            continue;
        LogicalDrive d;
        d.letter = QChar(u'A' + i);
        const std::wstring root{static_cast<wchar_t>(L'A' + i), L':', L'\\'};
        d.type = GetDriveTypeW(root.c_str());
        wchar_t label[MAX_PATH + 1] = {};
        wchar_t fileSystem[MAX_PATH + 1] = {};
        if (GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr,
                                  fileSystem, MAX_PATH + 1)) {
            d.label = fromWide(label);
            d.fileSystem = fromWide(fileSystem);
        }
        drives.append(d);
    }
    return drives;
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
