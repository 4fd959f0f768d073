#include "platform/text_file.h"

#include <QStringDecoder>

#include "base/text.h"
#include "platform/codepage.h"

namespace platform {

QStringList decodeTextLines(const QByteArray& bytes) {
    const ByteOrderMark mark = byteOrderMarkOf(bytes);
    const QByteArray body = bytes.mid(byteOrderMarkLength(mark));
    switch (mark) {
        case ByteOrderMark::Utf8:
            return splitLines(QString::fromUtf8(body));
        case ByteOrderMark::Utf16LE:
            return splitLines(QStringDecoder(QStringConverter::Utf16LE).decode(body));
        case ByteOrderMark::Utf16BE:
            return splitLines(QStringDecoder(QStringConverter::Utf16BE).decode(body));
        case ByteOrderMark::None:
            break;
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
