#include "app/tfmain.h"
#include "banner/banner_picture.h"
#include "base/errors.h"
#include "platform/platform.h"
#include "service/addresses.h"
#include "service/json_answer.h"
#include "ui_tfmain.h"

bool TFMain::FBanner(const QString& JsonString) {
    // Nothing of the banner is ever reported: every failure ends it quietly, and what was
    // downloaded before stays.
    try {
        const std::optional<JsonAnswer> answer = JsonAnswer::parse(JsonString);
        if (!answer)
            return false;
        const JsonNode data = answer->array("data");
        for (int i = 0; i < data.size(); ++i) {
            const JsonNode element = data.at(i);
            const std::optional<QString> url = addresses::bannerPicture(element.text("img_path"));
            element.text("link_path");  // must be there; the click opens the support page
            if (!url) {
                throw TransportError(
                    QStringLiteral("The banner picture is not on the service host"));
            }
            FImgDown(*url);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

QString TFMain::FImgDown(const QString& xURL) {
    const QString fileName = platform::current().cacheFolder() + QStringLiteral("a.jpg");
    const platform::DownloadResult result =
        platform::current().downloadToFile(xURL, fileName, bannerDownloadOptions());
    if (!result.ok)
        throw TransportError(result.error);
    // The strip shows the banner it has just received when it decodes, else its own.
    const QImage picture = decodeBannerPicture(fileName);
    ui->Image8->setPixmap(picture.isNull() ? QPixmap(QStringLiteral(":/pictures/banner.png"))
                                           : QPixmap::fromImage(picture));
    return fileName;
}

void TFMain::Image8Click() {
    bannerlink = addresses::makerSupportFaq();
    platform::current().openUrl(this, bannerlink);
}
