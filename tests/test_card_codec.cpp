// backbbinfo.cfg: decoding line 1, the model name, carrying lines 2-5, the rewrite, and reading
// a file that is not what it should be.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif
#include "support/card_example.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "card/card_info.h"
#include "platform/codepage.h"

namespace {

// Upper-case hexadecimal pairs of the ASCII text.
QString pairsOf(const char* text) {
    return QString::fromLatin1(QByteArray(text).toHex().toUpper());
}
QString zeros(int pairs) {
    return QString(pairs * 2, QLatin1Char('0'));
}

const QDate kSaveDay(2025, 3, 14);

QByteArray fileOf(const QStringList& lines, const char* breakBytes = "\r\n") {
    QByteArray out;
    for (const QString& line : lines)
        out += line.toLatin1() + breakBytes;
    return out;
}

QString modelOf(const TbbData& bb) {
    return cellText(bb.ModelName());
}

TEST(CardInfoCodec, WorkedExampleReadsAndSavesByteForByte) {
    ASSERT_EQ(kExampleLine.size(), 132);
    const QByteArray file = fileOf({kExampleLine, "SPACE", "MODEL-X", "SW 1.2", "FW 3.4"});
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(file, cfg, bb);

    EXPECT_EQ(modelOf(bb), QStringLiteral("TESTCAM1"));
    EXPECT_EQ(cellText(std::as_const(bb).sn()), QStringLiteral("0000000000"));
    EXPECT_TRUE(std::all_of(bb.sn().begin() + 10, bb.sn().end(), [](char16_t c) { return !c; }));
    EXPECT_EQ(cellText(std::as_const(bb).regDate()), QStringLiteral("20240105"));
    EXPECT_EQ(cellText(std::as_const(bb).VerInfo()), QStringLiteral("1.0"));
    EXPECT_EQ(bb.Barray[65], 0);
    EXPECT_EQ(cfg.bbinfo, kExampleLine);
    EXPECT_EQ((QStringList{cfg.space, cfg.model, cfg.swVer, cfg.fwVer}),
              (QStringList{"SPACE", "MODEL-X", "SW 1.2", "FW 3.4"}));

    const QString newLine = kExampleLine.left(100) + QStringLiteral("3230323530333134") +
                            QStringLiteral("322E350000000000");
    EXPECT_EQ(card::encodeCardInfo(cfg, kSaveDay, QStringLiteral("2.5")),
              fileOf({newLine, "SPACE", "MODEL-X", "SW 1.2", "FW 3.4", "SPACE"}));
}

struct ModelCase {
    const char* name;
    QString line;
    QString model;
};

class CardModelName : public ::testing::TestWithParam<ModelCase> {};

TEST_P(CardModelName, IsTakenFromTheSerialRegion) {
    const ModelCase& c = GetParam();
    const TbbData bb = card::decodeDeviceRecord(c.line);
    EXPECT_EQ(modelOf(bb), c.model);
    EXPECT_EQ(cellText(bb.sn()), QStringLiteral("0000000000"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardModelName,
    ::testing::Values(
        ModelCase{"UnderscoreAtSevenGivesEmptyName", pairsOf("QZ24001_TESTCAM1_") + zeros(49), ""},
        // Characters 7-23 without "_", then cells 17-19 of the name from pairs 47-49.
        ModelCase{"NoUnderscoreRunsIntoPairs47To49",
                  pairsOf("0123456ABCDEFGHIJKLMNOPQ") + zeros(23) + pairsOf("XY") + zeros(16),
                  "ABCDEFGHIJKLMNOPQXY"},
        ModelCase{"AllThreeOfPairs47To49",
                  pairsOf("0123456ABCDEFGHIJKLMNOPQ") + zeros(23) + pairsOf("XYZ") + zeros(16),
                  "ABCDEFGHIJKLMNOPQXYZ"},
        // A "_" after position 23 is outside the walk: the name runs to pairs 47-49.
        ModelCase{"UnderscoreAfterTheWalkIsIgnored",
                  pairsOf("0123456ABCDEFGHIJKLMNOPQ_") + zeros(41), "ABCDEFGHIJKLMNOPQ"},
        ModelCase{"LowerCaseDigits", kExampleLine.toLower(), "TESTCAM1"},
        ModelCase{"MixedCaseDigits", QStringLiteral("515a32343030315445535443414d315F"),
                  "TESTCAM1"},
        ModelCase{"ShortLine", QStringLiteral("515A3234303031544553"), "TES"},
        // The last pair is one character: a lone hexadecimal digit gives its own value.
        ModelCase{"OddLengthLine", QStringLiteral("515A323430303154455"), QString("TE\x05")},
        ModelCase{"OddLengthNonDigitEnd", QStringLiteral("515A32343030315445G"), "TE"},
        ModelCase{"PairThatIsNotHexIsZero", QStringLiteral("515A3234303031545X535443414D315F"),
                  "T"},
        ModelCase{"BlankInPairIsNotHex", QStringLiteral("515A323430303154 15443414D315F"), "T"},
        ModelCase{"SignInPairIsNotHex", QStringLiteral("515A323430303154-15443414D315F"), "T"},
        ModelCase{"EmptyLine", QString(), ""},
        ModelCase{"KoreanTakesTwoBytes", QStringLiteral("가") + kExampleLine, "1TESTCAM1"}),
    [](const auto& info) { return std::string(info.param.name); });

// 65 pairs are decoded, not 66: the last cell of the version stays 0.
// Line 1 is hexadecimal ASCII: reading and rewriting it never needs the code page, so a
// converter that cannot be opened never costs the card its identity; other text fails clearly.
TEST(CardInfoCodec, LineOneNeedsNoCodePage) {
    const struct Restore {
        const char* previous = platform::useAnsiCodePage("NO-SUCH-CODEPAGE");
        ~Restore() { platform::useAnsiCodePage(previous); }
    } restore;
    const QByteArray file = fileOf({kExampleLine, "SPACE", "MODEL-X", "SW 1.2", "FW 3.4"});
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(file, cfg, bb);
    EXPECT_EQ(modelOf(bb), QStringLiteral("TESTCAM1"));
    const QByteArray saved = card::encodeCardInfo(cfg, kSaveDay, QStringLiteral("2.5"));
    EXPECT_TRUE(saved.startsWith(kExampleLine.left(100).toLatin1() + "32303235303331343"))
        << saved.left(140).toStdString();
    cfg.model = QStringLiteral("모델");
    cfg.modelBytes.reset();
    EXPECT_THROW(card::encodeCardInfo(cfg, kSaveDay, QStringLiteral("2.5")), AppError);
}

TEST(CardInfoCodec, PairsFiftyToSixtyFourDecodeToTheirBytes) {
    QString line;
    for (int v = 0; v < 66; ++v)
        line += QStringLiteral("%1").arg((v * 37 + 11) % 256, 2, 16, QLatin1Char('0'));
    TbbData bb = card::decodeDeviceRecord(line);
    for (int v = 50; v < 65; ++v)
        EXPECT_EQ(bb.Barray[static_cast<std::size_t>(v)], (v * 37 + 11) % 256) << v;
    EXPECT_EQ(bb.Barray[65], 0);
}

// Reads in turn, as the same main window would: missing lines keep the previous read's.
TEST(CardInfoCodec, LinesPresentReplaceTheirFieldsOnly) {
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(fileOf({kExampleLine, "S", "M", "SW", "FW"}), cfg, bb);

    card::readCardInfo(QByteArray(), cfg, bb);
    EXPECT_EQ((QStringList{cfg.bbinfo, cfg.space, cfg.model, cfg.swVer, cfg.fwVer}),
              (QStringList{kExampleLine, "S", "M", "SW", "FW"}));
    EXPECT_EQ(modelOf(bb), QStringLiteral("TESTCAM1"));

    const QString other = pairsOf("0000000OTHER_");
    card::readCardInfo(fileOf({other, "S2"}), cfg, bb);
    EXPECT_EQ((QStringList{cfg.bbinfo, cfg.space, cfg.model, cfg.swVer, cfg.fwVer}),
              (QStringList{other, "S2", "M", "SW", "FW"}));
    EXPECT_EQ(modelOf(bb), QStringLiteral("OTHER"));
    EXPECT_EQ(card::encodeCardInfo(cfg, kSaveDay, "2.5"),
              fileOf({other + "3230323530333134322E350000000000", "S2", "M", "SW", "FW", "S2"}));

    card::readCardInfo(fileOf({kExampleLine, "a", "b", "c", "d", "e6", "e7", "e8"}), cfg, bb);
    EXPECT_EQ((QStringList{cfg.space, cfg.model, cfg.swVer, cfg.fwVer}),
              (QStringList{"a", "b", "c", "d"}));
    EXPECT_EQ(card::encodeCardInfo(cfg, kSaveDay, "2.5").count("\r\n"), 6);
}

TEST(CardInfoCodec, LineBreaksOfEveryKind) {
    for (const char* breakBytes : {"\r\n", "\n", "\r"}) {
        TcfgData cfg;
        TbbData bb;
        card::readCardInfo(fileOf({kExampleLine, "S", "M", "SW", "FW"}, breakBytes), cfg, bb);
        EXPECT_EQ(cfg.fwVer, QStringLiteral("FW")) << breakBytes;
        EXPECT_EQ(modelOf(bb), QStringLiteral("TESTCAM1"));
    }
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo("L1\r\n\r\nM", cfg, bb);
    EXPECT_EQ((QStringList{cfg.bbinfo, cfg.space, cfg.model}), (QStringList{"L1", "", "M"}));
}

struct SaveCase {
    const char* name;
    QString oldLine;
    QString version;
    QString newLine;
};

class CardLineOne : public ::testing::TestWithParam<SaveCase> {};

TEST_P(CardLineOne, KeepsOneHundredCharactersAndAppendsDateAndVersion) {
    const SaveCase& c = GetParam();
    EXPECT_EQ(card::rewrittenLineOne(c.oldLine, kSaveDay, c.version), c.newLine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardLineOne,
    ::testing::Values(SaveCase{"FullLine", kExampleLine, "2.5",
                               kExampleLine.left(100) + "3230323530333134322E350000000000"},
                      SaveCase{"LowerCaseKeptNewPairsUpper", kExampleLine.toLower(), "v2.a",
                               kExampleLine.toLower().left(100) + "3230323530333134" +
                                   pairsOf("v2.a") + zeros(4)},
                      SaveCase{"VersionCutToEight", kExampleLine, "2025.03.14-b",
                               kExampleLine.left(100) + "3230323530333134" + pairsOf("2025.03.")},
                      SaveCase{"ShortOldLineKeptWhole", "515A32", "2.5",
                               "515A32" + QStringLiteral("3230323530333134322E350000000000")},
                      SaveCase{"NothingRead", "", "",
                               QStringLiteral("3230323530333134") + zeros(8)},
                      // Only the low eight bits of a character's code are written.
                      SaveCase{"NonAsciiVersionLowByte", "", QStringLiteral("가"),
                               QStringLiteral("32303235303331340000000000000000")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CardInfoCodec, SaveBeforeAnyReadWritesDateVersionAndFiveEmptyLines) {
    EXPECT_EQ(card::encodeCardInfo(TcfgData{}, kSaveDay, "2.5"),
              QByteArray("3230323530333134322E350000000000\r\n\r\n\r\n\r\n\r\n\r\n"));
}

TEST(CardInfoCodec, ReadAfterWriteGivesTheFiveLinesWritten) {
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(fileOf({kExampleLine, "S", "M", "SW", "FW"}), cfg, bb);
    const QString model = modelOf(bb);
    const QByteArray written = card::encodeCardInfo(cfg, kSaveDay, "2.5");

    TcfgData again;
    TbbData bb2;
    card::readCardInfo(written, again, bb2);
    EXPECT_EQ(again.bbinfo, kExampleLine.left(100) + "3230323530333134322E350000000000");
    EXPECT_EQ((QStringList{again.space, again.model, again.swVer, again.fwVer}),
              (QStringList{"S", "M", "SW", "FW"}));
    EXPECT_EQ(modelOf(bb2), model);
    EXPECT_EQ(cellText(std::as_const(bb2).regDate()), QStringLiteral("20250314"));
    EXPECT_EQ(cellText(std::as_const(bb2).VerInfo()), QStringLiteral("2.5"));
}

// What the card records of its last download, beside the version the service offers.
TEST(CardInfoCodec, CardDatabaseLineComparesTheRecordedVersion) {
    const QString head = QStringLiteral("SD카드의 데이터베이스: ");
    const QString blank = kExampleLine.left(100) + zeros(16);
    struct Case {
        const char* name;
        QString bbinfo;
        QString offered;
        QString line;
    };
    const std::vector<Case> cases{
        {"WorkedExampleUpToDate", kExampleLine, "1.0",
         head + "버전 1.0 (2024-01-05 업데이트), 최신 버전입니다"},
        {"WorkedExampleOlder", kExampleLine, "2.5",
         head + "버전 1.0 (2024-01-05 업데이트), 최신 버전 2.5"},
        {"NeverUpdated", blank, "2.5", head + "받은 기록이 없습니다 (최신 버전 2.5)"},
        {"NeverUpdatedNothingOffered", blank, "", head + "받은 기록이 없습니다"},
        {"NothingOffered", kExampleLine, "", head + "버전 1.0 (2024-01-05 업데이트)"},
        // All eight cells count, though a card read keeps seven in its record.
        {"EightCharacters", card::rewrittenLineOne(kExampleLine, kSaveDay, "2025.031"), "2025.031",
         head + "버전 2025.031 (2025-03-14 업데이트), 최신 버전입니다"},
        {"LongerOfferedNeverEqual", card::rewrittenLineOne(kExampleLine, kSaveDay, "2025.0314"),
         "2025.0314", head + "버전 2025.031 (2025-03-14 업데이트), 최신 버전 2025.0314"},
        {"DifferentCaseIsAnotherVersion", card::rewrittenLineOne(kExampleLine, kSaveDay, "v2a"),
         "V2A", head + "버전 v2a (2025-03-14 업데이트), 최신 버전 V2A"},
        // A card's own bytes: a date that is none stays as it is, control codes never reach
        // the log.
        {"OddDateAndControlCodes",
         kExampleLine.left(100) + pairsOf("2024-1-x") + "0A312E3000000000", "1.0",
         head + "버전 ?1.0 (2024-1-x 업데이트), 최신 버전 1.0"},
        {"ShortLine", kExampleLine.left(40), "1.0", head + "받은 기록이 없습니다 (최신 버전 1.0)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(card::cardDatabaseLine(c.bbinfo, c.offered), c.line) << c.name;
}

// Lines 2-5 belong to the dashcam: whatever bytes they hold go back unchanged.
TEST(CardInfoCodec, CarriedLinesRoundTripByteForByte) {
    const QList<QByteArray> carriedLines{
        QByteArray("\x80\xFF\xC8", 3),       // not CP949 at all
        QByteArray("\xB0\xA1 \xC7\xD1", 5),  // CP949 Korean
        QByteArray("a\0b\tc\x7F", 6),        // NUL, tab, DEL
        QByteArray("\xB0", 1),               // a lead byte cut off at the line's end
    };
    QByteArray file = kExampleLine.toLatin1() + "\r\n";
    for (const QByteArray& line : carriedLines)
        file += line + "\r\n";
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(file, cfg, bb);
    const QByteArray written = card::encodeCardInfo(cfg, kSaveDay, "2.5");
    const QList<QByteArray> lines = written.split('\n');
    ASSERT_EQ(lines.size(), 7);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(lines.at(i + 1), carriedLines.at(i) + "\r") << i;
    EXPECT_EQ(lines.at(5), carriedLines.at(0) + "\r");
    EXPECT_EQ(cfg.model, QStringLiteral("가 한"));
}

TEST(CardInfoCodec, ByteOrderMarkSelectsTheEncodingAndTheRewriteIsAnsi) {
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const QString text = QStringLiteral("%1\r\n가\r\nM\r\nS\r\nF\r\n").arg(kExampleLine);
    QByteArray le("\xFF\xFE"), be("\xFE\xFF");
    for (const QChar c : text) {
        le += char(c.unicode() & 0xFF);
        le += char(c.unicode() >> 8);
        be += char(c.unicode() >> 8);
        be += char(c.unicode() & 0xFF);
    }
    for (const Case& c :
         {Case{"utf8", "\xEF\xBB\xBF" + text.toUtf8()}, Case{"utf16le", le}, Case{"utf16be", be}}) {
        TcfgData cfg;
        TbbData bb;
        card::readCardInfo(c.bytes, cfg, bb);
        EXPECT_EQ(modelOf(bb), QStringLiteral("TESTCAM1")) << c.name;
        EXPECT_EQ(cfg.space, QStringLiteral("가")) << c.name;
        EXPECT_TRUE(card::encodeCardInfo(cfg, kSaveDay, "2.5").contains("\r\n\xB0\xA1\r\n"))
            << c.name;
    }
}

// A carried line's text changed by the program is written from the text, not the old bytes.
TEST(CardInfoCodec, ChangedTextWinsOverTheBytesItCameWith) {
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(fileOf({kExampleLine, "S", "M", "SW", "FW"}), cfg, bb);
    cfg.model = QStringLiteral("N");
    EXPECT_EQ(card::encodeCardInfo(cfg, kSaveDay, "2.5").split('\n').at(2), QByteArray("N\r"));
}

class CardInfoFile : public ::testing::Test {
  protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    void write(const QString& name, const QByteArray& bytes) const {
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QTemporaryDir dir;
};

TEST_F(CardInfoFile, LoadsASmallFileAndRefusesWhatIsNotOne) {
    write("ok.cfg", fileOf({kExampleLine}));
    EXPECT_EQ(card::loadCardInfoFile(path("ok.cfg")), fileOf({kExampleLine}));

    write("limit.cfg", QByteArray(card::kMaxCardInfoBytes, 'A'));
    EXPECT_EQ(card::loadCardInfoFile(path("limit.cfg")).size(), card::kMaxCardInfoBytes);

    // Sparse: a "file" of 4 GiB costs nothing on disk and must not be loaded.
    {
        QFile huge(path("huge.cfg"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(qint64{4} << 30));
    }
    QDir().mkdir(path("folder.cfg"));
    std::vector<const char*> refused{"huge.cfg", "folder.cfg", "missing.cfg"};
#ifndef _WIN32
    // Windows has no named pipes among files; test_windows_platform reads one by its name.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("pipe.cfg")).constData(), 0600), 0);
    refused.push_back("pipe.cfg");
#endif
    for (const char* name : refused) {
        try {
            card::loadCardInfoFile(path(name));
            ADD_FAILURE() << name << " was loaded";
        } catch (const FileError& e) {
            EXPECT_TRUE(e.text().startsWith(QStringLiteral("Cannot open file \"") +
                                            QDir::toNativeSeparators(path(name))))
                << e.text().toStdString();
        }
    }
}

TEST_F(CardInfoFile, BinaryContentDecodesWithoutHarm) {
    QByteArray noise(60000, Qt::Uninitialized);
    QRandomGenerator rng(7);
    for (char& c : noise)
        c = static_cast<char>(rng.bounded(256));
    write("noise.cfg", noise);
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(card::loadCardInfoFile(path("noise.cfg")), cfg, bb);
    EXPECT_EQ(cellText(std::as_const(bb).sn()), QStringLiteral("0000000000"));
    const QByteArray written = card::encodeCardInfo(cfg, kSaveDay, "2.5");
    EXPECT_EQ(written.count("\r\n"), 6);
}

TEST_F(CardInfoFile, SaveReplacesTheFileAndLeavesNoTemporaryFile) {
    write("backbbinfo.cfg", "old\r\n");
    card::saveCardInfoFile(path("backbbinfo.cfg"), "new\r\n");
    QFile f(path("backbbinfo.cfg"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("new\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"backbbinfo.cfg"});

    try {
        card::saveCardInfoFile(path("missing/backbbinfo.cfg"), "x");
        FAIL() << "no error";
    } catch (const FileError& e) {
        EXPECT_TRUE(e.text().startsWith(QStringLiteral("Cannot create file \"") +
                                        QDir::toNativeSeparators(path("missing/backbbinfo.cfg")) +
                                        "\". "))
            << e.text().toStdString();
    }
}

}  // namespace
