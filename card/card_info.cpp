#include "card/card_info.h"

#include "base/errors.h"
#include "base/text.h"
#include "card/card_paths.h"
#include "platform/codepage.h"
#include "platform/folder_handle.h"
#include "platform/replacing_file.h"
#include "platform/small_file.h"
#include "platform/text_file.h"

namespace card {
namespace {

struct CardLine {
    QString text;
    std::optional<QByteArray> bytes;
};

QList<CardLine> cardLines(const QByteArray& bytes) {
    QList<CardLine> lines;
    if (byteOrderMarkOf(bytes) != ByteOrderMark::None) {
        for (const QString& text : platform::decodeTextLines(bytes))
            lines.append(CardLine{text, std::nullopt});
        return lines;
    }
    // Line by line, so that a byte the code page cannot decode never swallows a line break.
    for (const QByteArray& raw : splitLines(bytes))
        lines.append(CardLine{platform::fromAnsi(raw), raw});
    return lines;
}

void take(const CardLine& line, QString& text, std::optional<QByteArray>& bytes) {
    text = line.text;
    bytes = line.bytes;
}

// The bytes a carried line goes back as: the ones it came with while its text is unchanged.
QByteArray carried(const QString& text, const std::optional<QByteArray>& bytes) {
    if (bytes && platform::fromAnsi(*bytes) == text)
        return *bytes;
    return platform::toAnsi(text);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The pair as "$" + its characters would convert: 0 for anything but hexadecimal digits.
char16_t pairValue(const QByteArray& ansi, qsizetype first) {
    if (first >= ansi.size())
        return 0;
    const int high = hexDigit(ansi.at(first));
    if (first + 1 >= ansi.size())
        return high < 0 ? 0 : static_cast<char16_t>(high);
    const int low = hexDigit(ansi.at(first + 1));
    if (high < 0 || low < 0)
        return 0;
    return static_cast<char16_t>(high * 16 + low);
}

void appendPair(QString& line, char16_t code) {
    static const char digits[] = "0123456789ABCDEF";
    const int low8 = code & 0xFF;
    line.append(QLatin1Char(digits[low8 >> 4]));
    line.append(QLatin1Char(digits[low8 & 0x0F]));
}

// Cells as text up to the first 0; a card's stray control codes are not put into the log.
QString cellsText(const QByteArray& ansi, qsizetype firstPair, qsizetype pairs) {
    QString text;
    for (qsizetype k = firstPair; k < firstPair + pairs; ++k) {
        const char16_t code = pairValue(ansi, 2 * k);
        if (code == 0)
            break;
        text.append(code < 0x20 || (code >= 0x7F && code < 0xA0) ? QChar(u'?') : QChar(code));
    }
    return text;
}

// "YYYYMMDD" as a date the reader knows; anything else as it stands.
QString shownDate(const QString& recorded) {
    const QDate date = QDate::fromString(recorded, QStringLiteral("yyyyMMdd"));
    return recorded.size() == 8 && date.isValid() ? date.toString(Qt::ISODate) : recorded;
}

QString tooLargeForCardInfo() {
    return QStringLiteral("파일이 %1KiB보다 커서 카드 정보 파일이 아닙니다.")
        .arg(kMaxCardInfoBytes / 1024);
}

}  // namespace

QByteArray loadCardInfoFile(const QString& path) {
    return platform::readSmallFile(path, kMaxCardInfoBytes, tooLargeForCardInfo());
}

QByteArray loadCardInfoFile(const platform::FolderHandle& folder, const QString& name) {
    return folder.readSmallFile(name, kMaxCardInfoBytes, tooLargeForCardInfo());
}

QString cardInfoLineOne(const QByteArray& bytes) {
    const QList<CardLine> lines = cardLines(bytes);
    return lines.isEmpty() ? QString() : lines.front().text;
}

QString notACardFileReason() {
    return QStringLiteral(
        "카드 정보 파일 자리에 파일이 아닌 것(폴더, 링크나 파이프)이 있어 블랙박스 "
        "SD카드로 사용할 수 없습니다");
}

QString cardInfoNotWrittenReason() {
    return QStringLiteral(
        "카드 정보 파일 자리에 파일이 아닌 것(폴더, 링크나 파이프)이 있어 카드 정보 "
        "파일을 쓰지 않았습니다");
}

TbbData decodeDeviceRecord(const QString& bbinfo) {
    const QByteArray ansi = platform::toAnsi(bbinfo);
    TbbData bb;
    bb.clear();
    // 65 pairs: the last cell of the version stays 0.
    for (qsizetype k = 0; k < 65; ++k)
        bb.Barray[static_cast<std::size_t>(k)] = pairValue(ansi, 2 * k);

    // The model name is the serial region from character 7 up to its "_".
    bool ended = false;
    for (std::size_t i = 7; i <= 23; ++i) {
        if (bb.Barray[i] == u'_')
            ended = true;
        bb.ModelName()[i - 7] = ended ? 0 : bb.Barray[i];
    }
    static constexpr char16_t kSerial[] = u"0000000000";
    std::fill(bb.sn().begin(), bb.sn().end(), char16_t{0});
    std::copy(std::begin(kSerial), std::end(kSerial) - 1, bb.sn().begin());
    return bb;
}

void readCardInfo(const QByteArray& bytes, TcfgData& cfg, TbbData& bb) {
    const QList<CardLine> lines = cardLines(bytes);
    for (qsizetype i = 0; i < lines.size() && i < 5; ++i) {
        const CardLine& line = lines.at(i);
        switch (i) {
            case 0:
                cfg.bbinfo = line.text;
                break;
            case 1:
                take(line, cfg.space, cfg.spaceBytes);
                break;
            case 2:
                take(line, cfg.model, cfg.modelBytes);
                break;
            case 3:
                take(line, cfg.swVer, cfg.swVerBytes);
                break;
            case 4:
                take(line, cfg.fwVer, cfg.fwVerBytes);
                break;
        }
    }
    bb = decodeDeviceRecord(cfg.bbinfo);
}

bool recordsDownload(const QString& bbinfo) {
    const QByteArray ansi = platform::toAnsi(bbinfo);
    return !cellsText(ansi, 50, 8).isEmpty() || !cellsText(ansi, 58, 8).isEmpty();
}

QString cardDatabaseLine(const QString& bbinfo, const QString& offeredVersion) {
    const QByteArray ansi = platform::toAnsi(bbinfo);
    const QString date = cellsText(ansi, 50, 8);
    // All eight cells: the version is written into pairs 58-65, though a card read keeps
    // only seven of them in its record.
    const QString version = cellsText(ansi, 58, 8);
    const QString head = QStringLiteral("SD카드의 데이터베이스: ");
    QString latest;
    if (!offeredVersion.isEmpty())
        latest = QStringLiteral("최신 버전 %1").arg(offeredVersion);
    if (date.isEmpty() && version.isEmpty()) {
        return head + QStringLiteral("받은 기록이 없습니다") +
               (latest.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(latest));
    }
    QString line =
        head + QStringLiteral("버전 %1").arg(version.isEmpty() ? QStringLiteral("?") : version);
    if (!date.isEmpty())
        line += QStringLiteral(" (%1 업데이트)").arg(shownDate(date));
    // The card holds eight characters of a version: a longer one can never be seen whole.
    if (!version.isEmpty() && version == offeredVersion && offeredVersion.size() <= 8)
        return line + QStringLiteral(", 최신 버전입니다");
    return latest.isEmpty() ? line : line + QStringLiteral(", ") + latest;
}

QString rewrittenLineOne(const QString& bbinfo, const QDate& date, const QString& version) {
    QString line = bbinfo.left(100);
    const QString day = QStringLiteral("%1%2%3")
                            .arg(date.year(), 4, 10, QLatin1Char('0'))
                            .arg(date.month(), 2, 10, QLatin1Char('0'))
                            .arg(date.day(), 2, 10, QLatin1Char('0'));
    for (const QChar c : day)
        appendPair(line, c.unicode());
    for (qsizetype i = 0; i < 8; ++i)
        appendPair(line, i < version.size() ? version.at(i).unicode() : 0);
    return line;
}

QByteArray encodeCardInfo(const TcfgData& cfg, const QDate& date, const QString& version) {
    const QByteArray space = carried(cfg.space, cfg.spaceBytes);
    QByteArray out = platform::toAnsi(rewrittenLineOne(cfg.bbinfo, date, version));
    for (const QByteArray& line :
         {space, carried(cfg.model, cfg.modelBytes), carried(cfg.swVer, cfg.swVerBytes),
          carried(cfg.fwVer, cfg.fwVerBytes), space}) {
        out.append("\r\n");
        out.append(line);
    }
    out.append("\r\n");
    return out;
}

void saveCardInfoFile(const QString& path, const QByteArray& bytes) {
    platform::replaceFileContents(path, bytes);
}

void saveCardInfoFile(const platform::FolderHandle& folder, const QByteArray& bytes,
                      const QString& name) {
    platform::replaceFileContents(folder, name, bytes);
}

}  // namespace card
