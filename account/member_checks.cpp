#include "account/member_checks.h"

#include <QDate>
#include <string_view>

#include "platform/codepage.h"

namespace {

// In the order the checks report them; only the first one found is named.
constexpr char16_t kRefused[] = u"~!^#$%&*\\()_+=-@{}<>?:\"'";
constexpr QChar kCommercialAt = u'@';

bool isAsciiDigits(QStringView text) {
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// "yyyy-MM-dd" with every digit written out.
bool isHintFormDate(const QString& text) {
    const QStringView v(text);
    if (text.size() != 10 || v[4] != u'-' || v[7] != u'-')
        return false;
    if (!isAsciiDigits(v.sliced(0, 4)) || !isAsciiDigits(v.sliced(5, 2)) ||
        !isAsciiDigits(v.sliced(8, 2)))
        return false;
    return QDate(v.sliced(0, 4).toInt(), v.sliced(5, 2).toInt(), v.sliced(8, 2).toInt()).isValid();
}

}  // namespace

QChar firstRefusedCharacter(const QString& text, RefusedSet set) {
    for (const char16_t c : std::u16string_view(kRefused)) {
        if (set == RefusedSet::Id && c == kCommercialAt)
            continue;
        if (text.contains(QChar(c)))
            return QChar(c);
    }
    return QChar();
}

QString refusedCharacterMessage(QChar character) {
    return QString(character) + QStringLiteral("특수문자를 사용할수 없습니다. ");
}

bool isBirthDate(const QString& text, const QLocale& locale) {
    if (text.size() != 10)
        return false;
    return isHintFormDate(text) || locale.toDate(text, QLocale::ShortFormat).isValid();
}

bool hasDoubleByteCharacter(const QByteArray& ansi) {
    // Walking from the start, the first byte outside the single-byte range is always a lead
    // byte (a trail byte only ever follows one), so finding any lead-range byte is enough.
    for (qsizetype i = 0; i < ansi.size(); ++i) {
        if (platform::isAnsiLeadByte(static_cast<unsigned char>(ansi[i])))
            return true;
    }
    return false;
}

AnsiIdForm ansiIdForm(const QString& id) {
    const QByteArray ansi = platform::toAnsi(id);
    return AnsiIdForm{ansi.size(), hasDoubleByteCharacter(ansi)};
}
