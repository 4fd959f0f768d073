// Cards that fail as worn cards, loose readers and pulled cards do, through a FUSE file system
// the test switches between answering, answering slowly, not answering, failing and being
// gone. The drive list of the fake platform points at its mount; every call on the card goes
// to the real file system. Needs root and /dev/fuse.
#include <QProcess>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/startup.h"
#include "support/card_window.h"
#include "support/failing_card.h"

namespace {

const QString kNotWritten = QStringLiteral("SD카드에 파일을 쓰지 못했습니다");

class FailingCardWindow : public CardWindow {
  protected:
    void SetUp() override {
        if (const QString why = FailingCard::unavailableReason(); !why.isEmpty())
            GTEST_SKIP() << why.toStdString();
        CardWindow::SetUp();
        useTheProgramsGrace();
        card = std::make_unique<FailingCard>(backing.path());
        ASSERT_TRUE(card->isMounted());
        rootB = card->mountPoint() + QLatin1Char('/');
        fillDrives();
        pick(1);
        ASSERT_TRUE(buttonActive());
        UI(window, Memo1)->clear();
    }
    void TearDown() override {
        if (card)
            card->release();
        CardWindow::TearDown();
        card.reset();
    }

    QByteArray onBacking(const char* name) const { return readAll(backing.filePath(name)); }

    // The card is taken out of the reader: gone from the file system and from the drive list.
    void pull() {
        card->gone();
        fake.driveList.removeLast();
        fake.drivesChanged();
    }

    QTemporaryDir backing;  // what the card holds, seen past the card
    std::unique_ptr<FailingCard> card;
};

// Pulled out while the database is written: the failure line and why, the old database whole,
// and the card read again once it is back.
TEST_F(FailingCardWindow, PulledMidDownloadKeepsTheOldDatabase) {
    database = std::string(8 * 1024 * 1024, 'D');
    ASSERT_TRUE(card->slow(20));
    clickWithMouse(UI(window, Image2));
    ASSERT_TRUE(answerUntil([&] {
        return QFileInfo(backing.filePath("rp_cam.idb.part")).size() > 0 ||
               !window->isDownloading();
    }));
    ASSERT_TRUE(window->isDownloading());
    pull();
    waitForDownload();
    const QStringList lines = logLines();
    // Failed at once, as the card went, before anything was put in place.
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines.at(0), kRemoved);
    EXPECT_EQ(lines.at(1), shown(rootB + "/rp_cam.idb") + kFailed);
    EXPECT_EQ(lines.at(2), QStringLiteral("다운로드하는 동안 SD카드가 빠졌습니다"));
    EXPECT_EQ(onBacking("rp_cam.idb"), kOldDatabase);
    EXPECT_EQ(onBacking("backbbinfo.cfg"), kCardFile);
    EXPECT_TRUE(buttonGrey());
    EXPECT_TRUE(fake.errorTexts().isEmpty()) << fake.errorTexts().join('|').toStdString();

    // Back in the reader: read as any card that goes in.
    ASSERT_TRUE(card->normal());
    fake.driveList.append(platform::Drive{rootB, QStringLiteral("B [DASHCAM]")});
    UI(window, Memo1)->clear();
    fake.drivesChanged();
    ASSERT_TRUE(answerUntil([&] { return !state(window).cards.anyOutstanding(); }));
    EXPECT_EQ(logLines(), (QStringList{card::cardDatabaseLine(kExampleLine, QStringLiteral("2.5")),
                                       shown(rootB + "/backbbinfo.cfg")}));
    EXPECT_TRUE(buttonActive());
}

// A worn card that fails writes: the reason names the card, not the network, and the card
// keeps its files.
TEST_F(FailingCardWindow, FailedWritesAreTheCardsFault) {
    database = std::string(2 * 1024 * 1024, 'D');
    for (const int error : {EIO, ENOSPC}) {
        SCOPED_TRACE(error == EIO ? "EIO" : "ENOSPC");
        ASSERT_TRUE(card->failWritesAfter(64 * 1024, error));
        UI(window, Memo1)->clear();
        click();
        const QStringList lines = logLines();
        ASSERT_GE(lines.size(), 2);
        EXPECT_EQ(lines.at(0), shown(rootB + "/rp_cam.idb") + kFailed);
        EXPECT_EQ(lines.at(1), kNotWritten);
        EXPECT_EQ(onBacking("rp_cam.idb"), kOldDatabase);
        EXPECT_EQ(onBacking("backbbinfo.cfg"), kCardFile);
        EXPECT_TRUE(fake.boxes.isEmpty());
        ASSERT_TRUE(card->normal());
    }
}

// A slow card: the progress follows it and the window answers throughout.
TEST_F(FailingCardWindow, SlowCardMovesTheProgressAndLeavesTheWindowAnswering) {
    database = std::string(8 * 1024 * 1024, 'D');
    ASSERT_TRUE(card->slow(15));
    QSet<int> seen;
    clickWithMouse(UI(window, Image2));
    ASSERT_TRUE(answerUntil(
        [&] {
            seen.insert(UI(window, ProgressBar1)->value());
            return !window->isDownloading();
        },
        60000));
    EXPECT_GE(seen.size(), 3);
    EXPECT_LT(longestGap, 1000);
    EXPECT_EQ(onBacking("rp_cam.idb"), QByteArray::fromStdString(database));
    EXPECT_EQ(logLines().at(0), kEject);
    EXPECT_EQ(stallLines(), 0);
}

// A card that stops answering at each step: the window answers within a second, the driver is
// told, and everything goes on once the card answers again; the card info file is the old one
// or the new one, whole.
TEST_F(FailingCardWindow, CardThatStopsAnsweringAtEachStep) {
    using platform::CardCall;
    struct Case {
        const char* name;
        bool download;
        FakePlatform::CardCallFilter at;  // where the card stops answering
    };
    const Case cases[] = {
        {"다시읽기", false, [](CardCall call, const QString&) { return call == CardCall::Look; }},
        {"before a download", true,
         [](CardCall call, const QString&) { return call == CardCall::Look; }},
        {"during the download", true,
         [](CardCall call, const QString& where) {
             return call == CardCall::Write && where.contains("rp_cam.idb.part");
         }},
        {"during the card info rewrite", true,
         [](CardCall call, const QString& where) {
             return call == CardCall::Write && where.contains("backbbinfo.cfg");
         }},
    };
    const QByteArray rewritten = kExampleLine.left(100).toLatin1() +
                                 "3230323530333134322E350000000000\r\nSPACE\r\n\xB0\xA1 "
                                 "MODEL\r\nSW\x80\xFF\r\nFW 3.4\r\nSPACE\r\n";
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The program's own 5 s once; shorter after that.
        state(window).cardStall = std::chrono::milliseconds{first ? 5000 : 1000};
        first = false;
        writeFile(backing.filePath("rp_cam.idb"), kOldDatabase);
        writeFile(backing.filePath("backbbinfo.cfg"), kCardFile);
        clickWithMouse(UI(window, Panel9));
        ASSERT_TRUE(answerUntil([&] { return buttonActive(); }));
        UI(window, Memo1)->clear();

        // Held at the step, then the card itself stops answering there.
        fake.holdCardCalls(c.at);
        if (c.download)
            clickWithMouse(UI(window, Image2));
        else
            clickWithMouse(UI(window, Panel9));
        ASSERT_TRUE(fake.waitUntilHeld(1, 10000));
        ASSERT_TRUE(card->hang());
        fake.releaseCardCalls();
        ASSERT_TRUE(card->waitUntilWaiting(1, 5000));

        longestGap = 0;
        QElapsedTimer stalled;
        stalled.start();
        // A call that moves bytes is given the time a slow card needs for them.
        const auto allowance = platform::allowanceFor(state(window).cardStall,
                                                      c.download ? platform::kCardStepBytes : 0);
        ASSERT_TRUE(answerUntil([&] { return stallLines() == 1; }, allowance.count() + 3000));
        EXPECT_LT(stalled.elapsed(), allowance.count() + 1500);
        EXPECT_LT(longestGap, 1000);
        const QByteArray cardInfo = onBacking("backbbinfo.cfg");
        EXPECT_EQ(cardInfo, kCardFile);

        ASSERT_TRUE(card->release());
        ASSERT_TRUE(answerUntil(
            [&] { return !window->isDownloading() && !state(window).cards.anyOutstanding(); }));
        EXPECT_EQ(stallLines(), 1);
        EXPECT_TRUE(buttonActive());
        EXPECT_TRUE(fake.boxes.isEmpty()) << fake.errorTexts().join('|').toStdString();
        if (c.download) {
            EXPECT_EQ(onBacking("rp_cam.idb"), QByteArray::fromStdString(database));
            EXPECT_EQ(onBacking("backbbinfo.cfg"), rewritten);
            EXPECT_EQ(logLines().at(0), kEject);
        } else {
            EXPECT_EQ(logLines().at(0), kCardCurrent);
        }
    }
}

// ------------------------------------------------------------------ quitting while it hangs

// The program's side, in a process of its own: reads the card named by the parent, presses
// 다시읽기 or downloads when told, closes its window when told and ends as the program does.
TEST_F(CardWindow, FailingCardChild) {
    const QString mount = qEnvironmentVariable("DRIVORO_CHILD_CARD");
    if (mount.isEmpty())
        GTEST_SKIP() << "run by FailingCardQuit";
    useTheProgramsGrace();
    fake.driveList = {platform::Drive{mount + QLatin1Char('/'), QStringLiteral("CARD")}};
    fake.currentRoot = mount + QLatin1Char('/');
    window->show();  // fills the drive list and reads the card
    std::cout << (buttonActive() ? "ready" : "no card") << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "read") {
            clickWithMouse(UI(window, Panel9));
        } else if (line == "download") {
            clickWithMouse(UI(window, Image2));
        } else if (line == "close") {
            QElapsedTimer closing;
            closing.start();
            window->close();
            std::cout << "closed " << closing.elapsed() << ' ' << window->isVisible() << std::endl;
            window.reset();
            endProgram(0);
            std::_Exit(0);
        }
        QCoreApplication::processEvents();
        std::cout << "done" << std::endl;
    }
}

// Quitting while the card hangs: the window closes at once, and the process ends as soon as
// the card's call returns or the card is gone; the old database stays.
TEST(FailingCardQuit, WindowClosesAtOnceAndTheProgramEndsWithTheCall) {
    if (const QString why = FailingCard::unavailableReason(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    struct Case {
        const char* name;
        const char* step;
        bool abort;  // the connection aborted (a dead USB bridge), else the call released
    };
    for (const Case& c :
         {Case{"read, released", "read", false}, Case{"read, aborted", "read", true},
          Case{"download, released", "download", false}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir backing;
        writeFile(backing.filePath("backbbinfo.cfg"), kCardFile);
        writeFile(backing.filePath("rp_cam.idb"), kOldDatabase);
        FailingCard card(backing.path());
        ASSERT_TRUE(card.isMounted());
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DRIVORO_CHILD_CARD"), card.mountPoint());
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=CardWindow.FailingCardChild")});
        // The child's own lines, past what the test runner prints.
        const auto readLine = [&child](int ms) {
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < ms) {
                while (child.canReadLine()) {
                    const QByteArray line = child.readLine().trimmed();
                    if (line == "ready" || line == "no card" || line == "done" ||
                        line.startsWith("closed"))
                        return line;
                }
                child.waitForReadyRead(100);
            }
            return QByteArray("(nothing)");
        };
        ASSERT_EQ(readLine(20000), "ready");
        ASSERT_TRUE(card.hang());
        child.write(QByteArray(c.step) + '\n');
        ASSERT_EQ(readLine(10000), "done");
        ASSERT_TRUE(card.waitUntilWaiting(1, 10000));
        child.write("close\n");
        const QByteArray closed = readLine(5000);
        ASSERT_TRUE(closed.startsWith("closed ")) << closed.constData();
        const QList<QByteArray> words = closed.split(' ');
        EXPECT_LT(words.value(1).toInt(), 1000);
        EXPECT_EQ(words.value(2), "0");  // no longer visible

        // Its window is gone, but the system still waits for the call the card has taken.
        EXPECT_FALSE(child.waitForFinished(500));
        QElapsedTimer ended;
        ended.start();
        ASSERT_TRUE(c.abort ? card.abortConnection() : card.release());
        EXPECT_TRUE(child.waitForFinished(5000)) << "still running after the card's call ended";
        EXPECT_LT(ended.elapsed(), 5000);
        if (child.state() != QProcess::NotRunning) {
            child.kill();
            child.waitForFinished(5000);
        }
        EXPECT_EQ(readAll(backing.filePath("rp_cam.idb")), kOldDatabase);
        EXPECT_EQ(readAll(backing.filePath("backbbinfo.cfg")), kCardFile);
    }
}

}  // namespace
