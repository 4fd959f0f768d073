// The banner: placeholders until it lands. No handler answers the banner request yet.
#include "app/tfmain.h"
#include "platform/platform.h"
#include "service/config.h"

bool TFMain::FBanner(const QString&) {
    return false;
}
QString TFMain::FImgDown(const QString&) {
    return QString();
}

void TFMain::Image8Click() {
    bannerlink = QStringLiteral("https://") + Config::instance().makerSupportHost +
                 QStringLiteral("/board/faq/list.html?board_no=3");
    platform::current().openUrl(this, bannerlink);
}
