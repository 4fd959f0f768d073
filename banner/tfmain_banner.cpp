#include <QDir>

#include "app/request_wait.h"
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
    struct Fetched {
        platform::DownloadResult result;
        QImage picture;
    };
    // Fetched and decoded off the window's thread, which waits as for any request.
    const Fetched fetched = request_wait::run<Fetched>([xURL, fileName](const std::atomic<bool>&) {
        Fetched f;
        f.result = platform::current().downloadToFile(xURL, fileName, bannerDownloadOptions());
        if (f.result.ok)
            f.picture = decodeBannerPicture(fileName);
        return f;
    });
    if (!fetched.result.ok)
        throw TransportError(fetched.result.error);
    // The strip shows the banner it has just received when it decodes, else its own.
    const QImage& picture = fetched.picture;
    ui->Image8->setPixmap(picture.isNull() ? builtInPicture(QStringLiteral(":/pictures/banner.png"))
                                           : QPixmap::fromImage(picture));
    return fileName;
}

void TFMain::Image8Click() {
    bannerlink = addresses::makerSupportFaq();
    platform::current().openUrl(this, bannerlink);
}
