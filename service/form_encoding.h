#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// application/x-www-form-urlencoded over UTF-8, as HTML forms send it.
QByteArray formEncodeComponent(const QString& text);

// Each entry "name=value" is split at its first "=" and both sides encoded; an entry
// without "=" is encoded whole. Entries are joined with "&".
QByteArray formEncodeList(const QStringList& entries);

// Percent-encoding for a value placed inside a URL's query (UTF-8, blank as %20).
QString urlQueryValue(const QString& text);
