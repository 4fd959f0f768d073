// The platform layer's pure parts: the ANSI code page and text files of lines.
#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/text_file.h"

namespace {

TEST(AnsiCodePage, IsCp949) {
    EXPECT_EQ(platform::toAnsi("한글 ID"), QByteArray("\xC7\xD1\xB1\xDB ID"));
    EXPECT_EQ(platform::fromAnsi("\xC7\xD1\xB1\xDB ID"), "한글 ID");
#ifndef _WIN32
    // Windows' own conversion decides this on Windows (Wine writes one "?" per UTF-16 unit).
    EXPECT_EQ(platform::toAnsi("a😀b"), QByteArray("a?b"));  // not in the code page
#endif
    EXPECT_EQ(platform::toAnsi("").size(), 0);
    EXPECT_TRUE(platform::isAnsiLeadByte(0xC7));
    EXPECT_TRUE(platform::isAnsiLeadByte(0x81));
    EXPECT_FALSE(platform::isAnsiLeadByte('A'));
    EXPECT_FALSE(platform::isAnsiLeadByte(0x80));
}

TEST(TextLines, EncodingsAndLineBreaks) {
    struct Case {
        const char* name;
        QByteArray bytes;
        QStringList lines;
    };
    const Case cases[] = {
        {"Empty", "", {}},
        {"CrLf", "a\r\nb\r\n", {"a", "b"}},
        {"NoFinalBreak", "a\r\nb", {"a", "b"}},
        {"LoneCrAndLf", "a\rb\nc", {"a", "b", "c"}},
        {"EmptyLinesKept", "\r\n\r\nx\r\n", {"", "", "x"}},
        {"CrCrLf", "a\r\r\nb", {"a", "", "b"}},
        {"Utf8Bom", "\xEF\xBB\xBF\xED\x95\x9C\n", {"한"}},
        {"Utf16Le", QByteArray("\xFF\xFE\\\xD5\n\0", 6), {"한"}},
        {"Utf16Be", QByteArray("\xFE\xFF\xD5\\\0\n", 6), {"한"}},
        {"Ansi", "\xC7\xD1\r\n", {"한"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::decodeTextLines(c.bytes), c.lines) << c.name;
    }
    EXPECT_EQ(platform::encodeAnsiLines({"한", ""}), QByteArray("\xC7\xD1\r\n\r\n"));
}

}  // namespace
