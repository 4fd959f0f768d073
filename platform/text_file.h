#pragma once

#include <QByteArray>
#include <QStringList>

namespace platform {

// A text file's lines: a UTF-8, UTF-16LE or UTF-16BE byte-order mark selects the encoding,
// otherwise the ANSI code page; lines end at CR LF, CR or LF, and a break after the last
// line adds no empty line.
QStringList decodeTextLines(const QByteArray& bytes);

// Lines in the ANSI code page without a byte-order mark, each ended by CR LF.
QByteArray encodeAnsiLines(const QStringList& lines);

}  // namespace platform
