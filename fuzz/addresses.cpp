// The address and path builders: whatever the service names, an address stays on its host
// as libcurl reads it, and a card path stays on the card.
#include <curl/curl.h>

#include <QDir>
#include <cctype>
#include <cstring>
#include <memory>

#include "card/card_paths.h"
#include "fuzz.h"
#include "service/addresses.h"
#include "service/config.h"

namespace {

// Host and port as libcurl will use them; empty when libcurl refuses the address.
QString hostOf(const QString& url) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    if (curl_url_set(u.get(), CURLUPART_URL, url.toUtf8().constData(), 0) != CURLUE_OK)
        return {};
    char* host = nullptr;
    char* port = nullptr;
    QString result;
    if (curl_url_get(u.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK)
        result = QString::fromUtf8(host);
    if (curl_url_get(u.get(), CURLUPART_PORT, &port, 0) == CURLUE_OK)
        result += QLatin1Char(':') + QString::fromUtf8(port);
    curl_free(host);
    curl_free(port);
    return result;
}

void onHost(const QString& url, const QString& host, const char* what) {
    const QString seen = hostOf(url);
    if (!seen.isEmpty() && seen != host) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(url), qPrintable(seen));
        fuzz::broken(what);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QList<QByteArray> f = fuzz::fieldsOf(fuzz::bytesOf(data, size), 6);
    const auto text = [&](int i) { return QString::fromUtf8(f.at(i)); };
    const QString service = Config::instance().serviceHost;

    if (const auto url = addresses::databaseFile(text(0), text(1)))
        onHost(*url, service, "the database file off the service host");
    if (const auto url = addresses::bannerPicture(text(0)))
        onHost(*url, service, "a banner picture off the service host");
    onHost(addresses::databaseRequest(text(0), text(1), text(2), text(3)), service,
           "the download request off the service host");
    onHost(addresses::paymentPage(text(0)), service, "the payment page off the service host");

    // A path made fit for a URL holds only what a URL may, and every escape is whole; what
    // held no "%" decodes back to itself.
    const QByteArray fit = addresses::urlPath(text(0)).toLatin1();
    for (qsizetype i = 0; i < fit.size(); ++i) {
        const char c = fit.at(i);
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) ||
                           std::strchr("-._~!$&'()*+,;=:@/?%", c) != nullptr;
        if (!plain || c == 0 ||
            (c == '%' &&
             (i + 2 >= fit.size() || !std::isxdigit(static_cast<unsigned char>(fit.at(i + 1))) ||
              !std::isxdigit(static_cast<unsigned char>(fit.at(i + 2))))))
            fuzz::broken("a path made fit for a URL holds what a URL may not");
    }
    if (!text(0).contains(QLatin1Char('%')) &&
        QString::fromUtf8(QByteArray::fromPercentEncoding(fit)) != text(0))
        fuzz::broken("a path made fit for a URL names another file");

    // The file names on the card are the program's own; the folder is the service's.
    const QString root = QStringLiteral("/media/user/CARD/");
    for (const QString& folder : {text(4), text(0)}) {
        if (!card::isSafeCardFolder(folder))
            continue;
        for (const QString& name :
             {QStringLiteral("rp_cam.idb"), QStringLiteral("backbbinfo.cfg")}) {
            const QString clean =
                QDir::cleanPath(card::cardFilePath(root, card::cardFolder(folder), name));
            if (!clean.startsWith(root) || !clean.endsWith(QLatin1Char('/') + name))
                fuzz::broken("an accepted card folder leads outside the card");
        }
    }
    return 0;
}
