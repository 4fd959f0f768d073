#include "platform/windows/codepage.h"

#include <windows.h>

#include <limits>

#include "platform/codepage_system.h"

namespace platform {
namespace win {

QByteArray toCodePage(unsigned codePage, const QString& text) {
    if (text.isEmpty())
        return {};
    const std::wstring in = text.toStdWString();
    if (in.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() / 2))
        return {};
    const int inLength = static_cast<int>(in.size());
    // No WC_NO_BEST_FIT_CHARS: Windows' own conversion, best-fit mappings included, is what
    // a Korean PC writes.
    const int size =
        WideCharToMultiByte(codePage, 0, in.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    QByteArray out(size, Qt::Uninitialized);
    WideCharToMultiByte(codePage, 0, in.data(), inLength, out.data(), size, nullptr, nullptr);
    return out;
}

QString fromCodePage(unsigned codePage, const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<int>::max())
        return {};
    const int inLength = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(codePage, 0, bytes.constData(), inLength, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.constData(), inLength, out.data(), size);
    return QString::fromStdWString(out);
}

bool isLeadByteIn(unsigned codePage, unsigned char byte) {
    return IsDBCSLeadByteEx(codePage, byte) != 0;
}

}  // namespace win

namespace system_codepage {
namespace {

// "CP949" is code page 949; 0 for a name that is no code page of this system.
unsigned numberOf(const char* name) {
    const QByteArray text(name);
    bool ok = false;
    const unsigned number = text.startsWith("CP") ? text.mid(2).toUInt(&ok) : 0;
    return ok && IsValidCodePage(number) ? number : 0;
}

}  // namespace

bool canOpen(const char* name) {
    return numberOf(name) != 0;
}

std::optional<QByteArray> encode(const char* name, const QString& text) {
    const unsigned number = numberOf(name);
    if (number == 0)
        return std::nullopt;
    return win::toCodePage(number, text);
}

bool holdsExactly(const char* name, const QString& text) {
    const unsigned number = numberOf(name);
    if (number == 0 || text.size() > std::numeric_limits<int>::max())
        return false;
    const std::wstring in = text.toStdWString();
    BOOL usedDefault = FALSE;
    // Without WC_NO_BEST_FIT_CHARS Windows would write a look-alike and not say so.
    const int size =
        WideCharToMultiByte(number, WC_NO_BEST_FIT_CHARS, in.data(), static_cast<int>(in.size()),
                            nullptr, 0, nullptr, &usedDefault);
    return size > 0 && !usedDefault;
}

std::optional<QString> decode(const char* name, const QByteArray& bytes) {
    const unsigned number = numberOf(name);
    if (number == 0)
        return std::nullopt;
    return win::fromCodePage(number, bytes);
}

}  // namespace system_codepage
}  // namespace platform
