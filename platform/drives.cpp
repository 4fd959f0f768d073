#include "platform/drives.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

namespace platform {
namespace {

// The kernel writes blank, tab, newline and backslash in mount points as "\ooo".
QString unescapeOctal(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size()) {
            const QByteArray digits = field.mid(i + 1, 3);
            const bool ok = std::all_of(digits.begin(), digits.end(),
                                        [](char d) { return d >= '0' && d <= '7'; });
            if (ok) {
                out.append(static_cast<char>(digits.toInt(nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.append(c);
    }
    return QFile::decodeName(out);
}

// File systems a dashcam writes, directly or through FUSE.
bool isCardFileSystem(const QString& type) {
    static const QSet<QString> types{
        QStringLiteral("vfat"),    QStringLiteral("msdos"), QStringLiteral("exfat"),
        QStringLiteral("fuseblk"), QStringLiteral("ntfs"),  QStringLiteral("ntfs3"),
    };
    return types.contains(type);
}

// Other file systems that live on a disk.
bool isDiskFileSystem(const QString& type) {
    static const QSet<QString> types{
        QStringLiteral("ext2"),    QStringLiteral("ext3"),     QStringLiteral("ext4"),
        QStringLiteral("btrfs"),   QStringLiteral("xfs"),      QStringLiteral("f2fs"),
        QStringLiteral("jfs"),     QStringLiteral("reiserfs"), QStringLiteral("nilfs2"),
        QStringLiteral("hfs"),     QStringLiteral("hfsplus"),  QStringLiteral("udf"),
        QStringLiteral("iso9660"), QStringLiteral("bcachefs"),
    };
    return types.contains(type);
}

bool isUnder(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// The system's own mounts: never where a card is.
bool isSystemMountPoint(const QString& mountPoint) {
    if (isUnder(mountPoint, QStringLiteral("/run/media")))
        return false;
    static const QStringList folders{
        QStringLiteral("/proc"), QStringLiteral("/sys"),      QStringLiteral("/dev"),
        QStringLiteral("/run"),  QStringLiteral("/boot"),     QStringLiteral("/efi"),
        QStringLiteral("/snap"), QStringLiteral("/var/snap"), QStringLiteral("/var/lib"),
        QStringLiteral("/etc"),
    };
    return std::any_of(folders.begin(), folders.end(),
                       [&](const QString& folder) { return isUnder(mountPoint, folder); });
}

bool canHoldCard(const MountEntry& m, const RemovableLookup& isRemovable) {
    // The system's root is never a card, whatever its file system.
    if (m.mountPoint == QStringLiteral("/") || isSystemMountPoint(m.mountPoint))
        return false;
    const bool onDevice = m.source.startsWith(QStringLiteral("/dev/"));
    const bool wholeVolume = m.root == QStringLiteral("/");
    if (isCardFileSystem(m.fsType))
        return wholeVolume;
    if (isDiskFileSystem(m.fsType))
        // btrfs mounts its subvolumes, whose root is not "/".
        return onDevice && (wholeVolume || m.fsType == QStringLiteral("btrfs")) && isRemovable &&
               isRemovable(m.deviceId);
    if (m.fsType.startsWith(QStringLiteral("fuse.")))
        return onDevice && wholeVolume && isRemovable && isRemovable(m.deviceId);
    return false;
}

QByteArray readSysfsValue(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64).trimmed();
}

QString rootOf(const QString& mountPoint) {
    return mountPoint.endsWith(QLatin1Char('/')) ? mountPoint : mountPoint + QLatin1Char('/');
}

QList<MountEntry> readMountInfo() {
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // A sequential file: size() is 0, so read to the end.
    return parseMountInfo(file.readAll());
}

// The names udev gives devices in a /dev/disk folder ("by-label", "by-uuid"), by device.
QHash<QString, QString> namesByDevice(const QString& folder) {
    QHash<QString, QString> labels;
    const QDir dir(QStringLiteral("/dev/disk/") + folder);
    const QFileInfoList links =
        dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& link : links) {
        const QString device = link.canonicalFilePath();
        if (!device.isEmpty())
            labels.insert(device, decodeUdevName(link.fileName()));
    }
    return labels;
}

}  // namespace

QList<MountEntry> parseMountInfo(const QByteArray& text) {
    QList<MountEntry> mounts;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        // id parent major:minor root mount-point options [optional...] - type source super
        const qsizetype dash = fields.indexOf(QByteArray("-"), 6);
        if (fields.size() < 7 || dash < 0 || dash + 2 >= fields.size())
            continue;
        MountEntry m;
        bool numbered = false;
        // The ID is the volume's identity: a line without one cannot be followed.
        m.mountId = fields.at(0).toULongLong(&numbered);
        if (!numbered)
            continue;
        m.deviceId = QString::fromLatin1(fields.at(2));
        m.root = unescapeOctal(fields.at(3));
        m.mountPoint = unescapeOctal(fields.at(4));
        m.fsType = QString::fromLatin1(fields.at(dash + 1));
        m.source = unescapeOctal(fields.at(dash + 2));
        if (!m.mountPoint.startsWith(QLatin1Char('/')))
            continue;
        mounts.append(m);
    }
    return mounts;
}

QList<Drive> cardVolumes(const QList<MountEntry>& mounts, const LabelLookup& labelOf,
                         const RemovableLookup& isRemovable, const IdentityLookup& identityOf) {
    // A later mount on the same point hides the earlier one.
    QHash<QString, qsizetype> visible;
    for (qsizetype i = 0; i < mounts.size(); ++i)
        visible.insert(mounts.at(i).mountPoint, i);

    struct Candidate {
        bool card;
        QString mountPoint;
        QString label;
        quint64 identity;
    };
    QList<Candidate> candidates;
    QSet<QString> volumesSeen;
    for (qsizetype i = 0; i < mounts.size(); ++i) {
        const MountEntry& m = mounts.at(i);
        if (visible.value(m.mountPoint) != i || !canHoldCard(m, isRemovable))
            continue;
        // The same volume mounted twice is listed once, at its first mount point.
        const QString volume = m.deviceId + QLatin1Char(' ') + m.root;
        if (volumesSeen.contains(volume))
            continue;
        volumesSeen.insert(volume);
        candidates.append(Candidate{isCardFileSystem(m.fsType), m.mountPoint,
                                    labelOf ? labelOf(m.source) : QString(),
                                    identityOf ? identityOf(m) : m.mountId});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) {
                         if (a.card != b.card)
                             return a.card;
                         return a.mountPoint < b.mountPoint;
                     });
    QList<Drive> drives;
    for (const Candidate& c : candidates) {
        QString display = c.mountPoint;
        if (!c.label.isEmpty())
            display += QStringLiteral(" [") + c.label + QLatin1Char(']');
        drives.append(Drive{rootOf(c.mountPoint), display, c.identity});
    }
    return drives;
}

QString volumeRootIn(const QList<MountEntry>& mounts, const QString& path) {
    QString best;
    for (const MountEntry& m : mounts) {
        const bool holds = m.mountPoint == QStringLiteral("/") || isUnder(path, m.mountPoint);
        // Ties go to the later mount, which hides the earlier one.
        if (holds && m.mountPoint.size() >= best.size())
            best = m.mountPoint;
    }
    return best.isEmpty() ? QStringLiteral("/") : rootOf(best);
}

QString decodeUdevName(const QString& name) {
    QByteArray out;
    const QByteArray in = name.toUtf8();
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in.at(i) == '\\' && i + 3 < in.size() && in.at(i + 1) == 'x') {
            bool ok = false;
            const int value = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.append(in.at(i));
    }
    return QString::fromUtf8(out);
}

bool isRemovableBlockDevice(const QString& sysRoot, const QString& deviceId) {
    static const QRegularExpression numbers(QStringLiteral("^[0-9]+:[0-9]+$"));
    if (!numbers.match(deviceId).hasMatch())
        return false;
    QString device =
        QFileInfo(sysRoot + QStringLiteral("/dev/block/") + deviceId).canonicalFilePath();
    if (device.isEmpty())
        return false;
    // A partition's folder lies inside its disk's folder.
    if (QFileInfo::exists(device + QStringLiteral("/partition")))
        device = QFileInfo(device).path();
    if (QFileInfo(device).fileName().startsWith(QStringLiteral("mmcblk")))
        return true;
    return readSysfsValue(device + QStringLiteral("/removable")) == "1";
}

QList<Drive> mountedCardVolumes(VolumeKeys* keys) {
    const QHash<QString, QString> labels = namesByDevice(QStringLiteral("by-label"));
    const auto nameIn = [](const QHash<QString, QString>& names) {
        return [&names](const QString& source) {
            const QString device = QFileInfo(source).canonicalFilePath();
            return names.value(device.isEmpty() ? source : device);
        };
    };
    const QList<MountEntry> mounts = readMountInfo();
    IdentityLookup identityOf;
    QHash<QString, QString> uuids;
    if (keys) {
        uuids = namesByDevice(QStringLiteral("by-uuid"));
        keys->observe(mounts, nameIn(uuids));
        identityOf = [keys](const MountEntry& m) { return keys->identityOf(m); };
    }
    return cardVolumes(
        mounts, nameIn(labels),
        [](const QString& deviceId) {
            return isRemovableBlockDevice(QStringLiteral("/sys"), deviceId);
        },
        identityOf);
}

void VolumeKeys::observe(const QList<MountEntry>& mounts, const LabelLookup& uuidOf) {
    QSet<quint64> present;
    for (const MountEntry& m : mounts)
        present.insert(m.mountId);
    bool left = false;
    for (auto it = seen_.begin(); it != seen_.end();) {
        if (present.contains(it.key())) {
            ++it;
        } else {
            it = seen_.erase(it);
            left = true;
        }
    }
    if (left)
        ++leaves_;
    for (const MountEntry& m : mounts) {
        const QString uuid = uuidOf ? uuidOf(m.source) : QString();
        const auto known = seen_.constFind(m.mountId);
        if (known == seen_.cend() || known->device != m.deviceId || known->uuid != uuid)
            seen_.insert(m.mountId, Seen{m.deviceId, uuid, leaves_});
    }
}

quint64 VolumeKeys::identityOf(const MountEntry& mount) const {
    const auto known = seen_.constFind(mount.mountId);
    const Seen seen = known == seen_.cend() ? Seen{mount.deviceId, {}, leaves_} : *known;
    const QByteArray key = QByteArray::number(mount.mountId) + ' ' + seen.device.toLatin1() +
                           ' ' + seen.uuid.toUtf8() + ' ' + QByteArray::number(seen.generation);
    // Never 0, which stands for a reader with no card.
    return static_cast<quint64>(qHash(key, 0x5D7A3C1Bu)) | (quint64{1} << 62) | 1u;
}

QString volumeRootOf(const QString& path) {
    QString resolved = QFileInfo(path).canonicalFilePath();
    if (resolved.isEmpty())
        resolved = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return volumeRootIn(readMountInfo(), resolved);
}

}  // namespace platform
