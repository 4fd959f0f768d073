#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <optional>

#include "platform/platform.h"

// The largest banner picture the program keeps.
inline constexpr std::int64_t kBannerMaxBytes = std::int64_t{8} * 1024 * 1024;

// "https://" + host + path, or nothing when the path does not begin with "/": anything else
// could end the host name early or add to it ("@other.host/x.jpg", ".other.host/x.jpg").
std::optional<QString> bannerPictureUrl(const QString& serviceHost, const QString& imgPath);

// Time-outs and the size bound of a banner picture's download.
platform::DownloadOptions bannerDownloadOptions();

// The picture in fileName, whatever its name says it is, shrunk when it is much larger than
// the strip; a null image when the file does not hold a picture that decodes.
QImage decodeBannerPicture(const QString& fileName);
