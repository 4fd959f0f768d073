// The ANSI code page both ways: every input ends, and text the code page holds comes back.
#include "fuzz.h"
#include "platform/codepage.h"
#include "platform/text_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);

    // Bytes that decode without a replacement character go back to the same bytes.
    const QString decoded = platform::fromAnsi(bytes);
    if (!decoded.contains(QChar(0xFFFD)) && platform::toAnsi(decoded) != bytes)
        fuzz::broken("ANSI bytes did not come back");

    // Text whose every character the code page holds (no "?" put in) comes back.
    const QString text = QString::fromUtf8(bytes);
    const QByteArray ansi = platform::toAnsi(text);
    if (ansi.count('?') == text.count(QLatin1Char('?')) && platform::fromAnsi(ansi) != text)
        fuzz::broken("text did not come back");

    platform::decodeTextLines(bytes);
    platform::encodeAnsiLines(text.split(QLatin1Char('\n')));
    return 0;
}
