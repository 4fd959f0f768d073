#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Reads a small settings or card file whole. Throws FileError ("Cannot open file ...") when it
// cannot be opened or read, is not a regular file (a pipe in its place cannot hang the
// program) or is larger than maxBytes; tooLargeReason then ends the text.
// A symbolic link in the file's place is never followed: the read fails.
QByteArray readSmallFile(const QString& path, qint64 maxBytes, const QString& tooLargeReason);

}  // namespace platform
