// The code page through iconv, on every system but Windows.
#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "platform/codepage.h"
#include "platform/codepage_system.h"

namespace platform::system_codepage {
namespace {

class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool isOpen() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // skipLength tells how many of the input bytes left an unconvertible sequence takes.
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
                    std::max<size_t>(
                        1, skipLength(reinterpret_cast<const unsigned char*>(src), srcLeft)));
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

size_t utf8SequenceLength(const unsigned char* bytes, size_t) {
    const unsigned char lead = bytes[0];
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

// A lead byte takes its follower only when that is a trail byte: a character after a broken
// lead byte is kept, not swallowed with it.
size_t ansiSequenceLength(const unsigned char* bytes, size_t left) {
    if (left < 2 || !isAnsiLeadByte(bytes[0]))
        return 1;
    const unsigned char trail = bytes[1];
    const bool isTrail = (trail >= 0x41 && trail <= 0x5A) || (trail >= 0x61 && trail <= 0x7A) ||
                         (trail >= 0x81 && trail <= 0xFE);
    return isTrail ? 2 : 1;
}

}  // namespace

bool canOpen(const char* name) {
    return Converter(name, "UTF-8").isOpen() && Converter("UTF-8", name).isOpen();
}

std::optional<QByteArray> encode(const char* name, const QString& text) {
    Converter c(name, "UTF-8");
    if (!c.isOpen())
        return std::nullopt;
    return c.run(text.toUtf8(), QByteArrayLiteral("?"), utf8SequenceLength);
}

bool holdsExactly(const char* name, const QString& text) {
    // iconv has no look-alikes: what it cannot hold becomes "?" and does not come back.
    const std::optional<QByteArray> bytes = encode(name, text);
    return bytes && decode(name, *bytes) == text;
}

std::optional<QString> decode(const char* name, const QByteArray& bytes) {
    Converter c("UTF-8", name);
    if (!c.isOpen())
        return std::nullopt;
    return QString::fromUtf8(c.run(bytes, QByteArrayLiteral("\xEF\xBF\xBD"), ansiSequenceLength));
}

}  // namespace platform::system_codepage
