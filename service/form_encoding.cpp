#include "service/form_encoding.h"

namespace {

bool unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' ||
           c == '-' || c == '.' || c == '_';
}

QByteArray percentEncode(const QString& text, bool blankAsPlus) {
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (unreserved(c)) {
            out.append(ch);
        } else if (c == ' ' && blankAsPlus) {
            out.append('+');
        } else {
            out.append('%');
            out.append(hex[c >> 4]);
            out.append(hex[c & 0x0F]);
        }
    }
    return out;
}

}  // namespace

QByteArray formEncodeComponent(const QString& text) {
    return percentEncode(text, true);
}

QByteArray formEncodeList(const QStringList& entries) {
    QByteArrayList encoded;
    encoded.reserve(entries.size());
    for (const QString& entry : entries) {
        const qsizetype eq = entry.indexOf(QLatin1Char('='));
        if (eq < 0) {
            encoded.append(formEncodeComponent(entry));
        } else {
            encoded.append(formEncodeComponent(entry.left(eq)) + '=' +
                           formEncodeComponent(entry.mid(eq + 1)));
        }
    }
    return encoded.join('&');
}

QString urlQueryValue(const QString& text) {
    return QString::fromLatin1(percentEncode(text, false));
}
