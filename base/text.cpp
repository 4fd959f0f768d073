#include "base/text.h"

namespace {

template <typename Text, typename List>
List splitAtLineBreaks(const Text& text) {
    List lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const auto c = text.at(i);
        if (c == '\r' || c == '\n') {
            lines.append(text.mid(start, i - start));
            if (c == '\r' && i + 1 < n && text.at(i + 1) == '\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
}

}  // namespace

QString trimBlanksAndControls(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 0x20)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}

QStringList splitLines(const QString& text) {
    return splitAtLineBreaks<QString, QStringList>(text);
}

QList<QByteArray> splitLines(const QByteArray& bytes) {
    return splitAtLineBreaks<QByteArray, QList<QByteArray>>(bytes);
}

ByteOrderMark byteOrderMarkOf(const QByteArray& bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return ByteOrderMark::Utf8;
    if (bytes.startsWith("\xFF\xFE"))
        return ByteOrderMark::Utf16LE;
    if (bytes.startsWith("\xFE\xFF"))
        return ByteOrderMark::Utf16BE;
    return ByteOrderMark::None;
}

qsizetype byteOrderMarkLength(ByteOrderMark mark) {
    switch (mark) {
        case ByteOrderMark::Utf8:
            return 3;
        case ByteOrderMark::Utf16LE:
        case ByteOrderMark::Utf16BE:
            return 2;
        case ByteOrderMark::None:
            break;
    }
    return 0;
}
