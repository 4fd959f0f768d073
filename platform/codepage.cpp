#include "platform/codepage.h"

#include <algorithm>

#include "base/errors.h"
#include "platform/codepage_system.h"

namespace platform {
namespace {

// The dashcam reads CP949, whatever language the PC speaks.
const char* ansiName = "CP949";

[[noreturn]] void unavailable() {
    throw AppError(
        QStringLiteral("이 컴퓨터에서는 코드 페이지 %1 변환을 쓸 수 없어 그 코드 페이지의 글을 "
                       "읽거나 쓸 수 없습니다")
            .arg(QLatin1String(ansiName)));
}

bool isAscii(const QByteArray& bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isAscii(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

}  // namespace

QByteArray toAnsi(const QString& text) {
    if (isAscii(text))
        return text.toLatin1();
    if (std::optional<QByteArray> bytes = system_codepage::encode(ansiName, text))
        return *bytes;
    unavailable();
}

QString fromAnsi(const QByteArray& bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    if (std::optional<QString> text = system_codepage::decode(ansiName, bytes))
        return *text;
    unavailable();
}

void checkAnsiCodePage() {
    if (!system_codepage::canOpen(ansiName))
        unavailable();
}

const char* useAnsiCodePage(const char* name) {
    const char* previous = ansiName;
    ansiName = name;
    return previous;
}

bool ansiCanHold(const QString& text) {
    return isAscii(text) || system_codepage::holdsExactly(ansiName, text);
}

bool isAnsiLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

}  // namespace platform
