#include <QDir>

#include "app/tfmain.h"
#include "app/widgets.h"
#include "banner/banner_answer.h"
#include "banner/banner_picture.h"
#include "base/errors.h"
#include "platform/platform.h"
#include "service/addresses.h"
#include "ui_tfmain.h"

bool TFMain::FBanner(const QString& JsonString) {
    // Nothing of the banner is ever reported: every failure ends it quietly, and what was
    // downloaded before stays.
    try {
        const std::optional<BannerAnswer> answer = readBannerAnswer(JsonString);
        if (!answer)
            return false;
        for (const QString& url : answer->pictures)
            FImgDown(url);
        return answer->complete;
    } catch (const std::exception&) {
        return false;
    }
}

QString TFMain::FImgDown(const QString& xURL) {
    // The program's own folder is read-only once installed.
    const QString folder = platform::current().cacheFolder();
    if (!QDir().mkpath(folder))
        throw FileError(QStringLiteral("Cannot create the cache folder ") + folder);
    const QString fileName = folder + QStringLiteral("a.jpg");
    const platform::DownloadResult result =
        platform::current().downloadToFile(xURL, fileName, bannerDownloadOptions());
    if (!result.ok)
        throw TransportError(result.error);
    // The strip shows the banner it has just received when it decodes, else its own.
    const QImage picture = decodeBannerPicture(fileName);
    ui->Image8->setPixmap(picture.isNull() ? builtInPicture(QStringLiteral(":/pictures/banner.png"))
                                           : QPixmap::fromImage(picture));
    return fileName;
}

void TFMain::Image8Click() {
    bannerlink = addresses::makerSupportFaq();
    platform::current().openUrl(this, bannerlink);
}
