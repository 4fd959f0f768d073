#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Removes leading and trailing blanks and control characters (every code up to U+0020).
QString trimBlanksAndControls(const QString& text);

// Splits at CR LF, CR or LF; a break after the last line adds no empty line. The byte form
// keeps each line's bytes as they are.
QStringList splitLines(const QString& text);
QList<QByteArray> splitLines(const QByteArray& bytes);

// The byte-order mark a text file may begin with.
enum class ByteOrderMark { None, Utf8, Utf16LE, Utf16BE };
ByteOrderMark byteOrderMarkOf(const QByteArray& bytes);
// How many bytes the mark takes.
qsizetype byteOrderMarkLength(ByteOrderMark mark);
