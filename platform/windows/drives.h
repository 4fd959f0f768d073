#pragma once

#include <QChar>
#include <QList>
#include <QString>

#include "platform/platform.h"

namespace platform::win {

// One logical drive as Windows reports it.
struct LogicalDrive {
    QChar letter;        // upper or lower case
    unsigned type = 0;   // GetDriveTypeW's answer: DRIVE_REMOVABLE, DRIVE_FIXED, ...
    QString fileSystem;  // "FAT32", "exFAT", "NTFS", ...; empty when there is no medium
    QString label;
    quint32 serial = 0;  // of the volume in it; 0 when empty
};

// The drives that can hold a dashcam card, in letter order: removable drives and FAT or exFAT
// volumes on fixed drives (SD readers that call themselves fixed disks), never a network,
// optical or RAM drive, nor the drive Windows runs from.
// Each shows as the lower-case letter with ":", and the volume name for drives that are not
// removable; its root is the letter with ":\".
QList<Drive> cardDrives(const QList<LogicalDrive>& drives, QChar windowsLetter);

// What the drive watcher compares from one second to the next: the letters, their kinds and
// the serial number of the volume each removable or fixed drive holds (0 when empty), so
// that a card put into a reader whose letter stays counts as a change. Network and optical
// drives are left out: asking them can take seconds.
QList<quint64> driveSignature();

// The system calls behind it.
QList<LogicalDrive> logicalDrives();
QChar windowsDriveLetter();

}  // namespace platform::win
