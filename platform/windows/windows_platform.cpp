#include "platform/windows/windows_platform.h"

#include "platform/downloads.h"

namespace platform {

QDateTime WindowsPlatform::now() {
    return QDateTime::currentDateTime();
}

DownloadResult WindowsPlatform::downloadToFile(const QString& url, const QString& targetPath,
                                               const DownloadOptions& options) {
    return downloadUrlToFile(url, targetPath, options);
}

}  // namespace platform
