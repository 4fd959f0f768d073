#pragma once

#include <QByteArray>
#include <QString>

// Conversion through Windows' own tables, for a code page named by number; the program's
// toAnsi and fromAnsi use code page 949, as the dashcam does, whatever the system's ANSI code
// page (949 on Korean Windows).
namespace platform::win {

// Characters the code page cannot hold become "?" (Windows' default character).
QByteArray toCodePage(unsigned codePage, const QString& text);
// Bytes that are not a character of the code page are decoded as Windows decodes them.
QString fromCodePage(unsigned codePage, const QByteArray& bytes);
bool isLeadByteIn(unsigned codePage, unsigned char byte);

}  // namespace platform::win
