#pragma once

#include <QByteArray>
#include <QHash>
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
// The identity a volume is listed with; without one, its mount ID.
using IdentityLookup = std::function<quint64(const MountEntry& mount)>;

QList<Drive> cardVolumes(const QList<MountEntry>& mounts, const LabelLookup& labelOf,
                         const RemovableLookup& isRemovable = {},
                         const IdentityLookup& identityOf = {});

// Identities that change whenever the volume may have: the kernel reuses mount IDs, so a card
// mounted where another was, under the ID the other had, must not pass for it. An identity
// mixes the mount ID, the device (st_dev), the file system's UUID where there is one, and a
// count of the times a mount was seen to leave before this one was first seen. What it cannot
// tell: two clones of one card swapped between two looks at the mount table.
class VolumeKeys {
  public:
    // The mount table as it is now; call before identityOf.
    void observe(const QList<MountEntry>& mounts, const LabelLookup& uuidOf = {});
    quint64 identityOf(const MountEntry& mount) const;

  private:
    struct Seen {
        QString device;
        QString uuid;
        quint64 generation = 0;
    };
    QHash<quint64, Seen> seen_;
    quint64 leaves_ = 0;
};

// Asks sysfs (sysRoot is "/sys" but for tests): the device's disk, or the disk a partition
// belongs to, is an mmcblk device or has "removable" set to 1.
bool isRemovableBlockDevice(const QString& sysRoot, const QString& deviceId);

// The root (mount point ending in "/") of the mounted volume that holds path, an absolute
// path with symbolic links resolved.
QString volumeRootIn(const QList<MountEntry>& mounts, const QString& path);

// Resolves the "\xNN" escapes udev uses in the names under /dev/disk/by-label.
QString decodeUdevName(const QString& name);

// The system calls behind the functions above.
QList<Drive> mountedCardVolumes(VolumeKeys* keys = nullptr);
QString volumeRootOf(const QString& path);

}  // namespace platform
