#include "banner/banner_picture.h"

#include <QImageReader>

namespace {

// The strip is 566 x 111; anything much larger is shrunk while it is decoded.
constexpr int kMaxShownWidth = 2 * 566;
constexpr int kMaxShownHeight = 2 * 111;

}  // namespace

platform::DownloadOptions bannerDownloadOptions() {
    platform::DownloadOptions options;
    // The same waits as the service's requests: the login window waits for the banner.
    options.limits = TransferLimits{5000, 3000, kBannerMaxBytes};
    return options;
}

QImage decodeBannerPicture(const QString& fileName) {
    QImageReader reader(fileName);
    reader.setDecideFormatFromContent(true);
    // A picture that claims more memory than QImageReader's allocation limit is refused.
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxShownWidth || size.height() > kMaxShownHeight))
        reader.setScaledSize(size.scaled(kMaxShownWidth, kMaxShownHeight, Qt::KeepAspectRatio));
    return reader.read();
}
