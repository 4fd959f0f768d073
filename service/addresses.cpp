#include "service/addresses.h"

#include <cstring>

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

QString urlPath(const QString& path) {
    static const char hex[] = "0123456789ABCDEF";
    const auto isHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    };
    const QByteArray utf8 = path.toUtf8();
    QString out;
    out.reserve(utf8.size());
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char ch = utf8.at(i);
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        // What a path and a query may hold as it stands: sub-delims, ":", "@", "/", "?", and
        // an escape the service already wrote. "#" would cut the name short.
        const bool escape =
            ch == '%' && i + 2 < utf8.size() && isHex(utf8.at(i + 1)) && isHex(utf8.at(i + 2));
        const bool allowed =
            unreserved || escape || (c != 0 && std::strchr("!$&'()*+,;=:@/?", ch) != nullptr);
        if (allowed) {
            out.append(QLatin1Char(ch));
        } else {
            out.append(QLatin1Char('%'));
            out.append(QLatin1Char(hex[c >> 4]));
            out.append(QLatin1Char(hex[c & 0x0F]));
        }
    }
    return out;
}

namespace {

// A path written Windows-style: the platform's URL download, like every browser, reads "\"
// before the query as "/".
QString forwardSlashes(QString path) {
    const qsizetype query = path.indexOf(QLatin1Char('?'));
    for (qsizetype i = 0; i < (query < 0 ? path.size() : query); ++i) {
        if (path.at(i) == QLatin1Char('\\'))
            path[i] = QLatin1Char('/');
    }
    return path;
}

}  // namespace

std::optional<QString> databaseFile(const QString& path, const QString& fileName) {
    const QString whole = forwardSlashes(path + fileName);
    if (!forwardSlashes(path).startsWith(QLatin1Char('/')))
        return std::nullopt;
    return http(config().serviceHost, urlPath(whole));
}

std::optional<QString> bannerPicture(const QString& imgPath) {
    const QString path = forwardSlashes(imgPath);
    if (!path.startsWith(QLatin1Char('/')))
        return std::nullopt;
    return https(config().serviceHost, urlPath(path));
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
