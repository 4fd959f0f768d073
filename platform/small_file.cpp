#include "platform/small_file.h"

#include <QFileInfo>

#include "platform/folder_handle.h"

namespace platform {

QByteArray readSmallFile(const QString& path, qint64 maxBytes, const QString& tooLargeReason) {
    const QFileInfo info(path);
    return FolderHandle::open(info.path(), path)
        .readSmallFile(info.fileName(), maxBytes, tooLargeReason);
}

}  // namespace platform
