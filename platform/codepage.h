#pragma once

#include <QByteArray>
#include <QString>

// The ANSI code page: CP949, that of Korean Windows, on every system, so that the dashcam and
// the saved-login file get the bytes a Korean PC writes.
namespace platform {

// Characters the code page cannot hold become "?", as Windows converts them. Text of ASCII
// alone needs no converter (every ANSI code page keeps ASCII as it is); other text throws
// AppError naming the code page when its converter cannot be opened, never giving empty text.
QByteArray toAnsi(const QString& text);
QString fromAnsi(const QByteArray& bytes);

// Throws the same AppError when the code page's converter cannot be opened: checked once at
// start-up, so that the user learns of it before anything is read or written.
void checkAnsiCodePage();

// Selects the code page behind the functions above and returns the previous one. The program
// keeps CP949; tests choose one that cannot be opened.
const char* useAnsiCodePage(const char* name);
bool isAnsiLeadByte(unsigned char byte);
// The code page holds every character of text as it is: none would become "?" or a look-alike.
bool ansiCanHold(const QString& text);

}  // namespace platform
