#include "service/addresses.h"

#include "service/config.h"
#include "service/form_encoding.h"

namespace addresses {
namespace {

QString http(const QString& host, const QString& rest = {}) {
    return QStringLiteral("http://") + host + rest;
}

QString https(const QString& host, const QString& rest = {}) {
    return QStringLiteral("https://") + host + rest;
}

const Config& config() {
    return Config::instance();
}

}  // namespace

QString MainUrl() {
    return http(config().serviceHost, QStringLiteral("/mobile/"));
}

QString serviceRequest(const QString& path) {
    return MainUrl() + path;
}

QString bannerList() {
    return http(config().serviceHost, QStringLiteral("/mgr/api/call_banner.api"));
}

QString ipEcho() {
    return http(config().ipEchoHost, QStringLiteral("/json"));
}

QString databaseRequest(const QString& userId, const QString& modelName, const QString& serial,
                        const QString& ip) {
    return serviceRequest(QStringLiteral("back_c/sdcard_down.json?")) + QStringLiteral("mem_ID=") +
           urlQueryValue(userId) + QStringLiteral("&bInfo_modelName=") + urlQueryValue(modelName) +
           QStringLiteral("&bInfo_serialno=") + urlQueryValue(serial) + QStringLiteral("&Con_IP=") +
           urlQueryValue(ip);
}

std::optional<QString> databaseFile(const QString& path, const QString& fileName) {
    if (!path.startsWith(QLatin1Char('/')))
        return std::nullopt;
    return http(config().serviceHost, path + fileName);
}

std::optional<QString> bannerPicture(const QString& imgPath) {
    if (!imgPath.startsWith(QLatin1Char('/')))
        return std::nullopt;
    return https(config().serviceHost, imgPath);
}

QString homepage() {
    return https(config().serviceHost);
}

QString homepagePlain() {
    return http(config().serviceHost);
}

QString userManual() {
    return https(config().serviceHost, QStringLiteral("/mobile/pages/lumvik_manual"));
}

QString termsOfUse() {
    return https(config().serviceHost, QStringLiteral("/pages/policy_use_back"));
}

QString privacyPolicy() {
    return https(config().serviceHost, QStringLiteral("/pages/policy_private_back"));
}

QString paymentPage(const QString& userId) {
    return serviceRequest(QStringLiteral("back_c/ex_payment_loader_back?mem_ID=")) +
           urlQueryValue(userId);
}

QString makerDownloadSite() {
    return https(config().makerDownloadHost);
}

QString makerSupportFaq() {
    return https(config().makerSupportHost, QStringLiteral("/board/faq/list.html?board_no=3"));
}

}  // namespace addresses
