#pragma once

#include <QString>
#include <optional>

// Every web address the program uses, built from the hosts of Config::instance(), so that
// pointing the program elsewhere (a vendor build, a test server) changes one object.
namespace addresses {

// "http://" + service host + "/mobile/": the base of the service's requests.
QString MainUrl();
// MainUrl() + path, for a request of the service such as "back_c/getLogin.json".
QString serviceRequest(const QString& path);
// The banner list request.
QString bannerList();
// The public IP-echo service's answer.
QString ipEcho();

// MainUrl + "back_c/sdcard_down.json?" and the four values, each percent-encoded as UTF-8 so
// that "&", "=", a blank or Korean text can neither break nor forge the request.
QString databaseRequest(const QString& userId, const QString& modelName, const QString& serial,
                        const QString& ip);
// "http://" + service host + path + file name, joined as they stand and made fit (urlPath). The
// path must begin with "/": anything else (such as "@other.host/") could move the address off
// the service host, and gives nothing.
std::optional<QString> databaseFile(const QString& path, const QString& fileName);
// "https://" + service host + path, made fit (urlPath), or nothing when the path does not begin
// with "/": anything else could end the host name early or add to it ("@other.host/x.jpg").
std::optional<QString> bannerPicture(const QString& imgPath);

// A path (with any query) as the service wrote it, made fit for a URL: every character a path
// or query may hold stays as it is ("/", "?", "=", "&", an escape such as "%20"); blanks,
// control characters, non-ASCII (as UTF-8), a "%" that starts no escape, "\", "#" (which
// would cut the name short) and the other characters a URL may not hold are percent-encoded.
QString urlPath(const QString& path);

// Pages opened in the browser.
QString homepage();       // https, from the main window's bottom bar
QString homepagePlain();  // http, from the login window
QString userManual();
QString termsOfUse();
QString privacyPolicy();
QString paymentPage(const QString& userId);  // the ID escaped, so "&" or "#" cannot change it
QString makerDownloadSite();
QString makerSupportFaq();

}  // namespace addresses
