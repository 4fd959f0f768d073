#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <optional>

#include "platform/platform.h"

// The largest banner picture the program keeps.
inline constexpr std::int64_t kBannerMaxBytes = std::int64_t{8} * 1024 * 1024;

// Time-outs and the size bound of a banner picture's download.
platform::DownloadOptions bannerDownloadOptions();

// The picture in fileName, whatever its name says it is, shrunk when it is much larger than
// the strip; a null image when the file does not hold a picture that decodes.
QImage decodeBannerPicture(const QString& fileName);
