// The mount table and the labels of /dev/disk/by-label: any text parses, and every volume
// offered has a root of its own mount point.
#include <QHash>

#include "fuzz.h"
#include "platform/drives.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);
    const QList<platform::MountEntry> mounts = platform::parseMountInfo(bytes);
    for (const platform::MountEntry& m : mounts) {
        if (!m.mountPoint.startsWith(QLatin1Char('/')))
            fuzz::broken("a mount point that is not absolute");
    }
    const auto label = [](const QString& source) { return platform::decodeUdevName(source); };
    const auto removable = [](const QString& id) { return qHash(id) % 2 == 0; };
    for (const platform::Drive& d : platform::cardVolumes(mounts, label, removable)) {
        if (!d.root.startsWith(QLatin1Char('/')) || !d.root.endsWith(QLatin1Char('/')))
            fuzz::broken("a drive root that is not an absolute folder");
        if (d.root == QStringLiteral("/"))
            fuzz::broken("the system's root offered as a card");
    }
    for (const QString& path : {QStringLiteral("/"), QStringLiteral("/media/user/CARD/x")}) {
        if (!platform::volumeRootIn(mounts, path).endsWith(QLatin1Char('/')))
            fuzz::broken("a volume root without its separator");
    }
    platform::decodeUdevName(QString::fromUtf8(bytes));
    return 0;
}
