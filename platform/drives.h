#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

#include "platform/platform.h"

namespace platform {

// One line of /proc/self/mountinfo.
struct MountEntry {
    quint64 mountId = 0;  // the first field: a new mount gets a new ID
    QString deviceId;     // "major:minor"
    QString root;         // the folder of the file system that is mounted; "/" for all of it
    QString mountPoint;   // with the kernel's octal escapes resolved
    QString fsType;
    QString source;
};

// Parses the text of /proc/self/mountinfo; lines that do not follow the format are skipped.
QList<MountEntry> parseMountInfo(const QByteArray& text);

// The label of the volume on a device such as "/dev/sdb1"; empty when it has none.
using LabelLookup = std::function<QString(const QString& source)>;

// Whether the block device of a mount ("major:minor") is removable or an SD/MMC card.
using RemovableLookup = std::function<bool(const QString& deviceId)>;

// The mounted volumes that can hold a dashcam card, as the drive list shows them: FAT, exFAT
// and NTFS volumes first (also through FUSE, type "fuseblk"), then the other disk volumes of
// removable or SD/MMC devices, each group by mount point. The system's own disks, pseudo and
// virtual file systems are left out, so no answer of the service can point a download at
// them. A FAT, exFAT or NTFS volume is offered whatever its device says: many SD readers call
// themselves fixed disks. Without isRemovable no device counts as removable.
QList<Drive> cardVolumes(const QList<MountEntry>& mounts, const LabelLookup& labelOf,
                         const RemovableLookup& isRemovable = {});

// Asks sysfs (sysRoot is "/sys" but for tests): the device's disk, or the disk a partition
// belongs to, is an mmcblk device or has "removable" set to 1.
bool isRemovableBlockDevice(const QString& sysRoot, const QString& deviceId);

// The root (mount point ending in "/") of the mounted volume that holds path, an absolute
// path with symbolic links resolved.
QString volumeRootIn(const QList<MountEntry>& mounts, const QString& path);

// Resolves the "\xNN" escapes udev uses in the names under /dev/disk/by-label.
QString decodeUdevName(const QString& name);

// The system calls behind the functions above.
QList<Drive> mountedCardVolumes();
QString volumeRootOf(const QString& path);

}  // namespace platform
