#pragma once

#include <QChar>
#include <QList>
#include <QString>

#include "platform/platform.h"
#include "platform/windows/drive_poller.h"

namespace platform::win {

// The drives that can hold a dashcam card, in letter order: removable drives and FAT or exFAT
// volumes on fixed drives (SD readers that call themselves fixed disks), never a network,
// optical or RAM drive, nor the drive Windows runs from.
// Each shows as the lower-case letter with ":", and the volume name for drives that are not
// removable; its root is the letter with ":\".
QList<Drive> cardDrives(const QList<LogicalDrive>& drives, QChar windowsLetter);

// The system calls the drive poll makes: GetLogicalDrives, GetDriveTypeW and
// GetVolumeInformationW, the last offered to the platform's card call hook first.
DrivePoller::System driveCalls();
QChar windowsDriveLetter();

}  // namespace platform::win
