#include "platform/drives.h"

#include <QStorageInfo>

namespace platform {

// Placeholder until drive selection lands: every real volume, shown by its mount point.
QList<Drive> mountedCardVolumes() {
    QList<Drive> result;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && volume.isReady()) {
            QString root = volume.rootPath();
            if (!root.endsWith(QLatin1Char('/')))
                root += QLatin1Char('/');
            result.append(Drive{root, volume.rootPath()});
        }
    }
    return result;
}

QString volumeRootOf(const QString& path) {
    QString root = QStorageInfo(path).rootPath();
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return root;
}

}  // namespace platform
