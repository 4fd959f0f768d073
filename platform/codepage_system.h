#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The system's own conversion behind toAnsi and fromAnsi, for a code page named as iconv
// names it ("CP949"). Each returns nothing when that code page cannot be opened.
namespace platform::system_codepage {

bool canOpen(const char* name);
// Characters the code page cannot hold become "?".
std::optional<QByteArray> encode(const char* name, const QString& text);
// Every character of text has its own code in the code page (no "?", no best-fit look-alike).
bool holdsExactly(const char* name, const QString& text);
// Bytes that are not a character of the code page become U+FFFD (Windows: as Windows decodes
// them).
std::optional<QString> decode(const char* name, const QByteArray& bytes);

}  // namespace platform::system_codepage
