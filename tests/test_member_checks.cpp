// The sign-up window's entry rules without a window: refused characters, the birth date, the
// ID's form in the ANSI code page.
#include <gtest/gtest.h>
#include <QLocale>
#include <algorithm>

#include "account/member_checks.h"
#include "platform/codepage.h"

namespace {

// The refused list as the sign-up form documents it, in its order.
const QString kRefusedList = QStringLiteral("~!^#$%&*\\()_+=-@{}<>?:\"'");

struct CharCase {
    const char* name;
    QString text;
    QChar id;        // reported by the ID check; null: passes
    QChar password;  // reported by the password check; null: passes
};

class RefusedCharacters : public ::testing::TestWithParam<CharCase> {};

TEST_P(RefusedCharacters, ReportsTheFirstInListOrder) {
    const CharCase& c = GetParam();
    EXPECT_EQ(firstRefusedCharacter(c.text, RefusedSet::Id), c.id);
    EXPECT_EQ(firstRefusedCharacter(c.text, RefusedSet::Password), c.password);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedCharacters,
                         ::testing::Values(CharCase{"Empty", "", {}, {}},
                                           CharCase{"LettersAndDigits", "User01abc", {}, {}},
                                           CharCase{"OtherScripts", "한글Ωμέγα日本語", {}, {}},
                                           CharCase{"AllowedPunctuation", " .,/;[]|`", {}, {}},
                                           CharCase{"EmailPassesIdOnly", "user@mail.com", {}, '@'},
                                           CharCase{"AtBeforeExclamationInTextNamesExclamation",
                                                    "pa@ss!", '!', '!'},
                                           CharCase{"ListOrderNotTextOrder", "'a~", '~', '~'},
                                           CharCase{"AtThenBrace", "a{b@", '{', '@'},
                                           CharCase{"Backslash", "a\\b", '\\', '\\'},
                                           CharCase{"QuotationMark", "a\"b", '"', '"'},
                                           CharCase{"Apostrophe", "a'b", '\'', '\''}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each character alone, and the list's order: a text holding the list from position i on,
// back to front, reports the entry at i.
TEST(RefusedCharacterList, EveryEntryInItsOrder) {
    ASSERT_EQ(kRefusedList.size(), 24);
    for (qsizetype i = 0; i < kRefusedList.size(); ++i) {
        const QChar c = kRefusedList[i];
        const bool at = c == u'@';
        EXPECT_EQ(firstRefusedCharacter(QString("ab") + c, RefusedSet::Password), c) << i;
        EXPECT_EQ(firstRefusedCharacter(QString("ab") + c, RefusedSet::Id), at ? QChar() : c) << i;

        QString rest = kRefusedList.mid(i);
        std::reverse(rest.begin(), rest.end());
        EXPECT_EQ(firstRefusedCharacter(rest, RefusedSet::Password), c) << i;
        const QChar idExpected = at ? kRefusedList[i + 1] : c;
        EXPECT_EQ(firstRefusedCharacter(rest, RefusedSet::Id), idExpected) << i;
    }
}

TEST(RefusedCharacterList, MessageNamesTheCharacter) {
    EXPECT_EQ(refusedCharacterMessage('!'), "!특수문자를 사용할수 없습니다. ");
    EXPECT_EQ(refusedCharacterMessage('\\'), "\\특수문자를 사용할수 없습니다. ");
}

struct DateCase {
    const char* name;
    const char* locale;
    QString text;
    bool accepted;
};

class BirthDate : public ::testing::TestWithParam<DateCase> {};

TEST_P(BirthDate, TenCharactersAndAValidDate) {
    const DateCase& c = GetParam();
    EXPECT_EQ(isBirthDate(c.text, QLocale(QString::fromLatin1(c.locale))), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(Cases, BirthDate,
                         ::testing::Values(
                             // The hint's form holds under every locale.
                             DateCase{"HintFormKorean", "ko_KR", "1990-03-30", true},
                             DateCase{"HintFormUs", "en_US", "1990-03-30", true},
                             DateCase{"HintFormGerman", "de_DE", "1990-03-30", true},
                             DateCase{"HintFormC", "C", "1990-03-30", true},
                             DateCase{"LeapDay", "ko_KR", "2000-02-29", true},
                             DateCase{"NoSuchDay", "ko_KR", "1990-02-30", false},
                             DateCase{"NoLeapDayIn1900", "ko_KR", "1900-02-29", false},
                             DateCase{"MonthThirteen", "ko_KR", "1990-13-01", false},
                             DateCase{"Empty", "ko_KR", "", false},
                             DateCase{"OneDigitMonth", "ko_KR", "1990-3-30", false},
                             DateCase{"LeadingBlank", "ko_KR", " 1990-03-30", false},
                             DateCase{"TrailingBlank", "ko_KR", "1990-03-30 ", false},
                             DateCase{"FiveDigitYear", "ko_KR", "19900-3-30", false},
                             DateCase{"SignedYear", "ko_KR", "-990-03-30", false},
                             DateCase{"Letters", "ko_KR", "abcd-ef-gh", false},
                             DateCase{"FullWidthDigits", "ko_KR", "１９９０-03-30", false},
                             // The locale's short form counts too, held to the same 10 characters.
                             DateCase{"KoreanShortForm", "ko_KR", "90. 3. 30.", true},
                             DateCase{"KoreanShortFormNineCharacters", "ko_KR", "90. 3. 3.", false},
                             DateCase{"JapaneseShortForm", "ja_JP", "1990/03/30", true},
                             DateCase{"JapaneseFormNotKorean", "ko_KR", "1990/03/30", false},
                             DateCase{"BritishShortForm", "en_GB", "30/03/1990", true},
                             DateCase{"BritishNoSuchDay", "en_GB", "31/02/1990", false},
                             DateCase{"UsShortFormTooShort", "en_US", "3/30/90", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct AnsiCase {
    const char* name;
    QString id;
    qsizetype bytes;
    bool doubleByte;
};

class AnsiId : public ::testing::TestWithParam<AnsiCase> {};

TEST_P(AnsiId, CountsCodePageBytes) {
    const AnsiCase& c = GetParam();
    const AnsiIdForm form = ansiIdForm(c.id);
    EXPECT_EQ(form.bytes, c.bytes);
    EXPECT_EQ(form.doubleByte, c.doubleByte);
}

INSTANTIATE_TEST_SUITE_P(Cases, AnsiId,
                         ::testing::Values(AnsiCase{"FiveLetters", "abcde", 5, false},
                                           AnsiCase{"ThreeHangul", "가나다", 6, true},
                                           AnsiCase{"TwoHangul", "가나", 4, true},
                                           AnsiCase{"HangulAmongLetters", "abcd가", 6, true},
                                           AnsiCase{"LeadingBlank", " abcde", 6, false},
                                           AnsiCase{"Email", "user@mail.com", 13, false},
                                           AnsiCase{"Hanja", "日本", 4, true},
                                           AnsiCase{"Empty", "", 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AnsiId, DoubleByteTestOnRawBytes) {
    EXPECT_FALSE(hasDoubleByteCharacter("plain-ASCII 0~"));
    EXPECT_TRUE(hasDoubleByteCharacter(platform::toAnsi("한")));
    // A trail byte may look like an ASCII letter; its lead byte is what counts.
    EXPECT_TRUE(hasDoubleByteCharacter("\x81\x41"));
    EXPECT_TRUE(hasDoubleByteCharacter("abc\xFE"));
    EXPECT_FALSE(hasDoubleByteCharacter("abc\x80"));
}

}  // namespace
