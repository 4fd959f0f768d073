// What the program says and does about a card depends on where its download stands: nothing on
// the card changed yet (fetching), the old database being replaced (committing), or the card
// info file being rewritten. The tests hold the card's calls at each step as a card that has
// stopped answering; the same decisions on Linux and under Wine.
#include <QDir>
#include <QThread>
#include <atomic>
#include <memory>

#include "platform/card_calls.h"
#include "support/card_window.h"

namespace {

using platform::CardCall;

const QString kFetchQuestion = QStringLiteral(
    "데이터베이스를 SD카드에 받는 중입니다. 다운로드를 멈추고 프로그램을 끝낼까요?\n"
    "(SD카드의 이전 데이터베이스는 그대로 남습니다)");
const QString kWritingOnClose =
    QStringLiteral("새 데이터베이스를 SD카드에 쓰는 중입니다. 다 쓰면 프로그램이 끝납니다");
const QString kEndNowQuestion = QStringLiteral(
    "새 데이터베이스를 SD카드에 쓰는 중입니다. 지금 끝내면 SD카드를 다시 꽂고 다운로드를 다시 "
    "누를 때까지 SD카드에 데이터베이스가 없을 수 있습니다. 지금 끝낼까요?");
const QString kNoWholeDatabase = QStringLiteral(
    "이 SD카드에는 완전한 데이터베이스가 없습니다. 다운로드를 눌러 받아 주세요");

// backbbinfo.cfg as the download of version 2.5 on 14 March 2025 leaves it.
const QByteArray kRewritten = kExampleLine.left(100).toLatin1() +
                              "3230323530333134322E350000000000\r\nSPACE\r\n\xB0\xA1 "
                              "MODEL\r\nSW\x80\xFF\r\nFW 3.4\r\nSPACE\r\n";

enum class Step { Fetching, Renaming, Rewriting };

// The call at which the card stops answering. Calls run on the download's worker, one after
// the other; the rename is the first write of the temporary file after its read-back.
FakePlatform::CardCallFilter stopsAt(Step step) {
    auto readBack = std::make_shared<std::atomic<bool>>(false);
    switch (step) {
        case Step::Fetching:
            return [](CardCall call, const QString& where) {
                return call == CardCall::Write && where.contains("rp_cam.idb.part");
            };
        case Step::Renaming:
            return [readBack](CardCall call, const QString& where) {
                if (call == CardCall::Read && where.contains("rp_cam.idb.part"))
                    *readBack = true;
                return *readBack && call == CardCall::Write && where.contains("rp_cam.idb.part");
            };
        case Step::Rewriting:
            return [](CardCall call, const QString& where) {
                return call == CardCall::Write && where.contains("backbbinfo.cfg");
            };
    }
    return {};
}

class CardPhases : public CardWindow {
  protected:
    void SetUp() override {
        CardWindow::SetUp();
        useTheProgramsGrace();
        state(window).cardStall = std::chrono::minutes{1};
        // Shown first: its first showing fills the drive list.
        window->show();
        fillDrives();
        pick(1);
        UI(window, Memo1)->clear();
    }

    // Clicks 다운로드 and waits until the card has stopped answering at step.
    void downloadUntil(Step step) {
        fake.holdCardCalls(stopsAt(step));
        clickWithMouse(UI(window, Image2));
        ASSERT_TRUE(window->isDownloading());
        ASSERT_TRUE(fake.waitUntilHeld(1, 20000));
    }
    bool closedWithin(int ms) {
        return answerUntil([&] { return !window->isVisible(); }, ms);
    }
    void expectOldCard() {
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    }
    void expectNewCard() {
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(database));
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kRewritten);
    }
};

// Before the commit a close asks, and the old database stays; once the old one is being
// replaced a close asks nothing: the window says so and ends when the card is written. A second
// close there asks once whether to end at once.
TEST_F(CardPhases, ClosingAsksWhatIsTrueInEachPhase) {
    for (const Step step : {Step::Renaming, Step::Rewriting}) {
        SCOPED_TRACE(step == Step::Renaming ? "renaming" : "rewriting");
        fake.questions.clear();
        UI(window, Memo1)->clear();
        downloadUntil(step);

        EXPECT_FALSE(window->close());
        EXPECT_TRUE(fake.questions.isEmpty());
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(logLines().front(), kWritingOnClose);

        fake.answerYes = false;
        EXPECT_FALSE(window->close());
        EXPECT_FALSE(window->close());
        EXPECT_EQ(fake.questions, QStringList{kEndNowQuestion});
        EXPECT_TRUE(window->isVisible());
        fake.answerYes = true;

        fake.releaseCardCalls();
        ASSERT_TRUE(closedWithin(20000));
        EXPECT_FALSE(window->isDownloading());
        expectNewCard();
        EXPECT_TRUE(logLines().contains(shown(rootB + "/rp_cam.idb") + kDone));
        EXPECT_EQ(fake.questions.size(), 1);
        if (step == Step::Renaming) {
            // The window comes back for the next case.
            window->show();
            writeCard(rootB);
        }
    }
}

TEST_F(CardPhases, ClosingWhileFetchingStopsBeforeTheCardChanges) {
    downloadUntil(Step::Fetching);
    EXPECT_TRUE(window->close());
    EXPECT_EQ(fake.questions, QStringList{kFetchQuestion});
    fake.releaseCardCalls();
    EXPECT_TRUE(card::CardAccess::waitForThreads(std::chrono::seconds{20}));
    expectOldCard();
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
}

// Ending at once while the card is written is the driver's choice, and is honoured at once.
TEST_F(CardPhases, EndingAtOnceWhileWritingIsHonoured) {
    downloadUntil(Step::Renaming);
    EXPECT_FALSE(window->close());
    QElapsedTimer closing;
    closing.start();
    EXPECT_TRUE(window->close());
    EXPECT_LT(closing.elapsed(), 1000);
    EXPECT_EQ(fake.questions, QStringList{kEndNowQuestion});
    EXPECT_FALSE(window->isVisible());
    fake.releaseCardCalls();
    EXPECT_TRUE(card::CardAccess::waitForThreads(std::chrono::seconds{20}));
}

// A card that stops while its database is replaced is not to be taken out: the line says so,
// names the drive, comes once; a window waiting to close asks once whether to end now.
TEST_F(CardPhases, StallWhileWritingSaysNotToTakeTheCardOut) {
    state(window).cardStall = std::chrono::milliseconds{300};
    downloadUntil(Step::Renaming);
    EXPECT_FALSE(window->close());
    fake.answerYes = false;
    ASSERT_TRUE(answerUntil([&] { return writingStallLines() == 1; }));
    answerFor(600);
    EXPECT_EQ(stallLines(), 1);
    EXPECT_EQ(fake.questions, QStringList{kEndNowQuestion});
    EXPECT_TRUE(window->isVisible());
    fake.releaseCardCalls();
    ASSERT_TRUE(closedWithin(20000));
    expectNewCard();
}

// While nothing on the card has changed, taking it out loses nothing: the line says so.
TEST_F(CardPhases, StallWhileFetchingMaySuggestTakingTheCardOut) {
    state(window).cardStall = std::chrono::milliseconds{300};
    downloadUntil(Step::Fetching);
    // The held write moves bytes: it is given the time a slow card needs for them.
    ASSERT_TRUE(answerUntil([&] { return stallLines() == 1; }, 20000));
    EXPECT_EQ(logLines().front(), stallLine(kCardDrive));
    fake.releaseCardCalls();
    waitForDownload();
    expectNewCard();
}

#ifndef _WIN32
// Another card put into the same reader (here: another folder at the card's path) is never
// written, neither by the rename nor by the rewrite; the card the download checked is the one
// that is written, and the driver is told.
TEST_F(CardPhases, SwappedCardIsLeftUntouched) {
    const QByteArray otherInfo = "ANOTHER CARD\r\n";
    const QByteArray otherDatabase = "another card's database";
    struct Case {
        const char* name;
        int looksBefore;  // the looks at the card folder after the read-back: 1 the commit's, 2 the
                          // rewrite's
        QString lastLine;
        bool databaseWritten;
    };
    const Case cases[] = {
        {"before the rename", 1,
         QStringLiteral("다운로드하는 동안 드라이브의 SD카드가 바뀌었습니다. 새로 꽂은 SD카드에는 "
                        "아무것도 쓰지 않았습니다"),
         false},
        {"before the rewrite", 2,
         QStringLiteral("다운로드가 끝난 뒤 드라이브의 SD카드가 바뀌어 카드 정보 파일을 쓰지 "
                        "않았습니다. 새 데이터베이스를 받은 SD카드를 다시 꽂고 다운로드를 다시 "
                        "눌러 주세요"),
         true},
    };
    int swaps = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeCard(rootB);
        UI(window, Memo1)->clear();
        auto readBack = std::make_shared<std::atomic<bool>>(false);
        auto looks = std::make_shared<std::atomic<int>>(0);
        const QString folder = rootB;
        fake.holdCardCalls([=](CardCall call, const QString& where) {
            if (call == CardCall::Read && where.contains("rp_cam.idb.part"))
                *readBack = true;
            return *readBack && call == CardCall::Look && where == folder &&
                   ++*looks == c.looksBefore;
        });
        clickWithMouse(UI(window, Image2));
        ASSERT_TRUE(fake.waitUntilHeld(1, 20000));

        const QString first = outside.path() + QStringLiteral("/first-card-%1").arg(++swaps);
        ASSERT_TRUE(QDir().rename(QDir::cleanPath(rootB), first));
        ASSERT_TRUE(QDir().mkpath(rootB));
        writeFile(rootB + "backbbinfo.cfg", otherInfo);
        writeFile(rootB + "rp_cam.idb", otherDatabase);

        fake.releaseCardCalls();
        waitForDownload();
        EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), otherInfo);
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), otherDatabase);
        EXPECT_EQ(readAll(first + "/rp_cam.idb"),
                  c.databaseWritten ? QByteArray::fromStdString(database) : kOldDatabase);
        EXPECT_EQ(readAll(first + "/backbbinfo.cfg"), kCardFile);
        const QStringList lines = logLines();
        EXPECT_TRUE(lines.contains(c.lastLine)) << lines.join('\n').toStdString();
        EXPECT_EQ(lines.contains(shown(rootB + "/rp_cam.idb") + kDone), c.databaseWritten);
        EXPECT_TRUE(fake.boxes.isEmpty());
        QDir(rootB).removeRecursively();
        QDir().mkpath(rootB);
    }
}
#endif

// The card read says what the card itself shows of its database.
TEST_F(CardPhases, CardWithoutAWholeDatabaseIsSaidSo) {
    // A card info file that records no download.
    const QByteArray neverUpdated = kExampleLine.left(100).toLatin1() + QByteArray(32, '0') + "\r\n";
    struct Case {
        const char* name;
        QByteArray info;
        bool database;
        bool leftover;
        QString line;
    };
    const Case cases[] = {
        {"database", kCardFile, true, false, kCardCurrent},
        {"database and a leftover", kCardFile, true, true, kCardCurrent},
        {"a leftover alone", kCardFile, false, true, kNoWholeDatabase},
        {"a recorded download alone", kCardFile, false, false, kNoWholeDatabase},
        {"a leftover of a card never updated", neverUpdated, false, true, kNoWholeDatabase},
        {"nothing recorded, nothing there", neverUpdated, false, false,
         card::cardDatabaseLine(QString::fromLatin1(neverUpdated.trimmed()), "1.0")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(rootB).removeRecursively();
        QDir().mkpath(rootB);
        writeFile(rootB + "backbbinfo.cfg", c.info);
        if (c.database)
            writeFile(rootB + "rp_cam.idb", kOldDatabase);
        if (c.leftover)
            writeFile(rootB + "rp_cam.idb.part", "half");
        UI(window, Memo1)->clear();
        clickWithMouse(UI(window, Panel9));
        settle();
        EXPECT_EQ(logLines(), (QStringList{c.line, shown(rootB + "/backbbinfo.cfg")}));
        EXPECT_TRUE(buttonActive());
    }
}

// A read that outlasts the grace and then fails leaves the download button as it was.
TEST_F(CardPhases, LateReadThatFailsLeavesTheButtonAsItWas) {
    ASSERT_TRUE(buttonActive());
    fake.holdCardCalls([](CardCall call, const QString&) { return call == CardCall::Read; });
    clickWithMouse(UI(window, Panel9));
    ASSERT_TRUE(fake.waitUntilHeld(1));
    EXPECT_TRUE(buttonGrey());
    // Far larger than any card info file: the read refuses it.
    writeFile(rootB + "backbbinfo.cfg", QByteArray(4 * 1024 * 1024, 'x'));
    fake.releaseCardCalls();
    settle();
    ASSERT_TRUE(answerUntil([&] { return !fake.errorTexts().isEmpty(); }));
    EXPECT_TRUE(buttonActive());
}

TEST(CardCallClock, SaysOncePerStallAndGivesBytesTheirTime) {
    using namespace std::chrono;
    EXPECT_EQ(platform::allowanceFor(milliseconds{5000}, 0), milliseconds{5000});
    EXPECT_EQ(platform::allowanceFor(milliseconds{5000}, platform::kSlowestCardBytesPerSecond * 4),
              milliseconds{9000});

    platform::CardCallClock clock;
    const milliseconds threshold{30};
    EXPECT_FALSE(clock.newlyStalled(threshold));
    clock.begin();
    QThread::msleep(60);
    EXPECT_TRUE(clock.newlyStalled(threshold));
    EXPECT_FALSE(clock.newlyStalled(threshold));
    clock.end();
    // Still the same stall: no call has come back in time since.
    clock.begin();
    QThread::msleep(60);
    EXPECT_FALSE(clock.newlyStalled(threshold));
    clock.end();
    // A call in time: the card answers again, and the next stall is a new one.
    clock.begin();
    clock.end();
    clock.begin();
    QThread::msleep(60);
    EXPECT_TRUE(clock.newlyStalled(threshold));
    clock.end();
    // A call that moves bytes is not a stall within the time they need.
    clock.begin();
    clock.end();
    clock.begin(platform::kSlowestCardBytesPerSecond);
    QThread::msleep(60);
    EXPECT_FALSE(clock.newlyStalled(threshold));
    clock.end();
}

}  // namespace
