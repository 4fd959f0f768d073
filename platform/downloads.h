#pragma once

#include "platform/platform.h"

namespace platform {

// Streams url into targetPath through libcurl.
DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options);

}  // namespace platform
