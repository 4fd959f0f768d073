#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The pieces of the database download that need no window.
namespace card {

// MainUrl + "back_c/sdcard_down.json?" and the four values, each percent-encoded as UTF-8 so
// that "&", "=", a blank or Korean text can neither break nor forge the request.
QString downloadRequestUrl(const QString& mainUrl, const QString& userId, const QString& modelName,
                           const QString& serial, const QString& ip);

// "http://" + service host + path + file name. The path must begin with "/": anything else
// (such as "@other.host/") could move the address off the service host, and gives nothing.
std::optional<QString> databaseUrl(const QString& serviceHost, const QString& path,
                                   const QString& fileName);

// The "ip" member of an IP-echo answer, read as ASCII; empty for anything else.
QString ipFromEchoAnswer(const QByteArray& body);

}  // namespace card
