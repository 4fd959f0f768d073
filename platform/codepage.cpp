#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "base/errors.h"

namespace platform {
namespace {

const char* ansiName = "CP949";

[[noreturn]] void unavailable() {
    throw AppError(
        QStringLiteral("The conversion to and from the code page %1 is not available on this "
                       "system; text in that code page cannot be read or written")
            .arg(QLatin1String(ansiName)));
}

bool isAscii(const QByteArray& bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            unavailable();
    }
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // skipLength tells how many input bytes an unconvertible sequence takes.
    template <typename Skip>
    QByteArray run(const QByteArray& in, const QByteArray& replacement, Skip skipLength) {
        QByteArray out;
        out.reserve(in.size() * 2 + 8);
        char* src = const_cast<char*>(in.constData());
        size_t srcLeft = static_cast<size_t>(in.size());
        char buffer[4096];
        while (srcLeft > 0) {
            char* dst = buffer;
            size_t dstLeft = sizeof buffer;
            const size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<qsizetype>(sizeof buffer - dstLeft));
            if (r == static_cast<size_t>(-1)) {
                if (errno == E2BIG)
                    continue;
                // EILSEQ or EINVAL: replace one sequence and go on.
                const size_t skip = std::min(
                    srcLeft,
                    std::max<size_t>(1, skipLength(static_cast<unsigned char>(*src), srcLeft)));
                src += skip;
                srcLeft -= skip;
                out.append(replacement);
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

  private:
    iconv_t cd_;
};

size_t utf8SequenceLength(unsigned char lead, size_t) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

size_t ansiSequenceLength(unsigned char lead, size_t left) {
    return isAnsiLeadByte(lead) && left >= 2 ? 2 : 1;
}

}  // namespace

QByteArray toAnsi(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    if (isAscii(utf8))
        return utf8;
    Converter c(ansiName, "UTF-8");
    return c.run(utf8, QByteArrayLiteral("?"), utf8SequenceLength);
}

QString fromAnsi(const QByteArray& bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    Converter c("UTF-8", ansiName);
    return QString::fromUtf8(c.run(bytes, QByteArrayLiteral("\xEF\xBF\xBD"), ansiSequenceLength));
}

void checkAnsiCodePage() {
    Converter to(ansiName, "UTF-8");
    Converter from("UTF-8", ansiName);
}

const char* useAnsiCodePage(const char* name) {
    const char* previous = ansiName;
    ansiName = name;
    return previous;
}

bool isAnsiLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

}  // namespace platform
