#pragma once

#include <QByteArray>
#include <QString>

// The system's ANSI code page: on Linux CP949, the code page of Korean Windows, so that the
// dashcam and the saved-login file get the bytes a Korean PC would write.
namespace platform {

// Characters the code page cannot hold become "?", as Windows converts them.
QByteArray toAnsi(const QString& text);
QString fromAnsi(const QByteArray& bytes);
bool isAnsiLeadByte(unsigned char byte);

}  // namespace platform
