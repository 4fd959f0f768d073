#include "platform/text_file.h"

#include <QStringDecoder>

#include "platform/codepage.h"

namespace platform {
namespace {

QStringList splitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            lines.append(text.mid(start, i - start));
            if (c == QLatin1Char('\r') && i + 1 < n && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
}

}  // namespace

QList<QByteArray> splitByteLines(const QByteArray& bytes) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = bytes.at(i);
        if (c == '\r' || c == '\n') {
            lines.append(bytes.mid(start, i - start));
            if (c == '\r' && i + 1 < n && bytes.at(i + 1) == '\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines.append(bytes.mid(start));
    return lines;
}

QStringList decodeTextLines(const QByteArray& bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        return splitLines(QString::fromUtf8(bytes.mid(3)));
    }
    if (bytes.startsWith("\xFF\xFE")) {
        QStringDecoder decoder(QStringConverter::Utf16LE);
        return splitLines(decoder.decode(bytes.mid(2)));
    }
    if (bytes.startsWith("\xFE\xFF")) {
        QStringDecoder decoder(QStringConverter::Utf16BE);
        return splitLines(decoder.decode(bytes.mid(2)));
    }
    return splitLines(fromAnsi(bytes));
}

QByteArray encodeAnsiLines(const QStringList& lines) {
    QByteArray out;
    for (const QString& line : lines) {
        out.append(toAnsi(line));
        out.append("\r\n");
    }
    return out;
}

}  // namespace platform
