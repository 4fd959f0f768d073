#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace platform {

// Streams url into targetPath through libcurl. The target is replaced only when the whole
// body has arrived with a 2xx status; on any failure it keeps its old content.
DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options);

}  // namespace platform
