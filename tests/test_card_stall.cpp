// A card that stops answering (a worn card, a loose reader, a hung USB bridge), as the tests
// hold its calls back: the window never waits for it, the driver is told, and a late answer
// goes where it still belongs. The same decisions on Linux and under Wine, which cannot make a
// drive hang; tests/test_failing_card.cpp makes real card calls hang on Linux.
#include <QCloseEvent>

#include "support/card_window.h"

namespace {

bool isCardInfoWrite(platform::CardCall call, const QString& where) {
    return call == platform::CardCall::Write && where.contains(QLatin1String("backbbinfo.cfg"));
}

class CardStall : public CardWindow {
  protected:
    void SetUp() override {
        CardWindow::SetUp();
        useTheProgramsGrace();
        // The program waits 5 s; the tests need not.
        state(window).cardStall = std::chrono::milliseconds{300};
    }

    bool cardsQuiet() { return !state(window).cards.anyOutstanding(); }

    QString pathA() const { return shown(rootA + "/backbbinfo.cfg"); }
    QString pathB() const { return shown(rootB + "/backbbinfo.cfg"); }
};

// 다시읽기 on a card that does not answer: the path line at once, the button grey while it is
// not known what card is in the drive, a second press joins the read already on its way, the
// driver is told once, and the card's answer is shown when it comes.
TEST_F(CardStall, ReadThatDoesNotReturnLeavesTheWindowAnswering) {
    fillDrives();
    pick(1);
    ASSERT_TRUE(buttonActive());
    fake.holdCardCalls([](platform::CardCall, const QString&) { return true; });
    UI(window, Memo1)->clear();
    QElapsedTimer pressed;
    pressed.start();
    clickWithMouse(UI(window, Panel9));
    EXPECT_LT(pressed.elapsed(), 1000);
    EXPECT_EQ(logLines(), QStringList{pathB()});
    EXPECT_TRUE(buttonGrey());
    ASSERT_TRUE(fake.waitUntilHeld(1));

    clickWithMouse(UI(window, Panel9));
    EXPECT_EQ(logLines(), (QStringList{pathB(), pathB()}));
    ASSERT_TRUE(answerUntil([&] { return stallLines() == 1; }));
    answerFor(800);  // once per stall
    EXPECT_EQ(stallLines(), 1);
    EXPECT_EQ(fake.heldCardCalls(), 1);
    EXPECT_LT(longestGap, 1000);
    EXPECT_TRUE(buttonGrey());

    fake.releaseCardCalls();
    ASSERT_TRUE(answerUntil([&] { return cardsQuiet(); }));
    answerFor(100);
    EXPECT_EQ(logLines(), (QStringList{kCardCurrent, stallLine(kCardDrive), pathB(), pathB()}));
    EXPECT_EQ(UI(window, LabeledEdit5)->text(), QStringLiteral("TESTCAM1"));
    EXPECT_TRUE(buttonActive());
    EXPECT_TRUE(fake.boxes.isEmpty());
}

// The wording of a failed read is the one bDrCheck calls for when the answer is shown.
TEST_F(CardStall, FailedReadIsWordedAsWhenItIsShown) {
    state(window).cardStall = std::chrono::minutes{1};
    fillDrives();
    pick(1);
    fake.holdCardCalls([](platform::CardCall, const QString&) { return true; });
    UI(window, Memo1)->clear();
    pick(0);
    ASSERT_TRUE(fake.waitUntilHeld(1));
    focusDriveList();
    fake.releaseCardCalls();
    ASSERT_TRUE(answerUntil([&] { return cardsQuiet(); }));
    EXPECT_EQ(logLines(), (QStringList{kInsert, kNotRecognised, pathA()}));
    EXPECT_FALSE(state(window).bDrCheck);
    EXPECT_TRUE(buttonGrey());
}

// A card taken out while its read hangs: the removal is said at once, and the late answer is
// dropped; so is the answer of a drive the driver has moved away from.
TEST_F(CardStall, LateAnswerGoesNowhereElse) {
    struct Case {
        const char* name;
        std::function<void()> meanwhile;
        std::function<QStringList()> lines;  // newest first
    };
    const Case cases[] = {
        {"the card is taken out",
         [this] {
             fake.driveList.removeLast();
             fake.drivesChanged();
         },
         [this] {
             return QStringList{kRemoved, pathB()};
         }},
        {"another drive is picked", [this] { pick(0); },
         [this] {
             return QStringList{kNoCard, pathA(), pathB()};
         }},
    };
    state(window).cardStall = std::chrono::minutes{1};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fillDrives();
        pick(1);
        fake.holdCardCalls(
            [this](platform::CardCall, const QString& where) { return where.startsWith(rootB); });
        UI(window, Memo1)->clear();
        clickWithMouse(UI(window, Panel9));
        ASSERT_TRUE(fake.waitUntilHeld(1));
        c.meanwhile();
        const QStringList before = c.lines();
        EXPECT_EQ(logLines(), before);
        EXPECT_TRUE(buttonGrey());
        fake.releaseCardCalls();
        ASSERT_TRUE(answerUntil([&] { return cardsQuiet(); }));
        answerFor(100);
        EXPECT_EQ(logLines(), before);
        EXPECT_TRUE(UI(window, LabeledEdit5)->text().isEmpty());
        EXPECT_TRUE(buttonGrey());
    }
}

// A card put in that does not answer keeps nothing waiting; once it answers it is taken.
TEST_F(CardStall, ArrivingCardIsTakenWhenItAnswers) {
    fillDrives();
    QTemporaryDir driveC{outside.path() + "/C-XXXXXX"};
    const QString rootC = driveC.path() + QLatin1Char('/');
    writeCard(rootC);
    fake.holdCardCalls(
        [&](platform::CardCall, const QString& where) { return where.startsWith(rootC); });
    fake.driveList.append(platform::Drive{rootC, QStringLiteral("C")});
    UI(window, Memo1)->clear();
    QElapsedTimer changed;
    changed.start();
    fake.drivesChanged();
    EXPECT_LT(changed.elapsed(), 1000);
    ASSERT_TRUE(fake.waitUntilHeld(1));
    EXPECT_EQ(selectedRootOf(UI(window, DriveComboBox1)), rootA);
    ASSERT_TRUE(answerUntil([&] { return stallLines() == 1; }));
    fake.releaseCardCalls();
    ASSERT_TRUE(answerUntil([&] { return cardsQuiet(); }));
    EXPECT_EQ(selectedRootOf(UI(window, DriveComboBox1)), rootC);
    EXPECT_EQ(logLines(), (QStringList{kCardCurrent, shown(rootC + "/backbbinfo.cfg"),
                                       stallLine(QStringLiteral("C"))}));
    EXPECT_TRUE(buttonActive());
}

// The database's write and the card info file's rewrite that do not return: the window
// answers, the driver is told once, and the download goes on when the card answers again.
TEST_F(CardStall, DownloadAndRewriteThatDoNotReturn) {
    struct Case {
        const char* name;
        FakePlatform::CardCallFilter hold;
    };
    const Case cases[] = {
        {"the database's write",
         [](platform::CardCall call, const QString& where) {
             return call == platform::CardCall::Write && where.contains("rp_cam.idb.part");
         }},
        {"the card info file's rewrite", isCardInfoWrite},
    };
    const QByteArray rewritten = kExampleLine.left(100).toLatin1() +
                                 "3230323530333134322E350000000000\r\nSPACE\r\n\xB0\xA1 "
                                 "MODEL\r\nSW\x80\xFF\r\nFW 3.4\r\nSPACE\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fillDrives();
        pick(1);
        UI(window, Memo1)->clear();
        fake.holdCardCalls(c.hold);
        clickWithMouse(UI(window, Image2));
        ASSERT_TRUE(fake.waitUntilHeld(1));
        EXPECT_TRUE(window->isDownloading());
        longestGap = 0;
        ASSERT_TRUE(answerUntil([&] { return stallLines() == 1; }));
        const int progress = UI(window, ProgressBar1)->value();
        answerFor(600);
        EXPECT_EQ(stallLines(), 1);
        EXPECT_LT(longestGap, 1000);
        EXPECT_EQ(UI(window, ProgressBar1)->value(), progress);
        EXPECT_FALSE(UI(window, Image2)->isEnabled());
        EXPECT_FALSE(UI(window, Panel9)->isEnabled());
        // The card info file is the old one while the card does not answer.
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);

        fake.releaseCardCalls();
        waitForDownload();
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(database));
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), rewritten);
        const QStringList lines = logLines();
        ASSERT_GE(lines.size(), 3);
        EXPECT_EQ(lines.at(0), kEject);
        EXPECT_TRUE(lines.contains(shown(rootB + "/rp_cam.idb") + kDone));
        EXPECT_TRUE(buttonActive());
        EXPECT_TRUE(UI(window, Panel9)->isEnabled());
        EXPECT_TRUE(fake.boxes.isEmpty());
    }
}

// Closing while the card does not answer: asked as always, then the window closes at once and
// nothing waits for the card. Once the card answers, the stopped download leaves the old
// database and nothing is said to be done.
TEST_F(CardStall, ClosingWhileTheCardHangsDoesNotWaitForIt) {
    fillDrives();
    pick(1);
    UI(window, Memo1)->clear();
    fake.holdCardCalls([](platform::CardCall call, const QString& where) {
        return call == platform::CardCall::Write && where.contains("rp_cam.idb.part");
    });
    clickWithMouse(UI(window, Image2));
    ASSERT_TRUE(fake.waitUntilHeld(1));
    window->show();
    QElapsedTimer closing;
    closing.start();
    EXPECT_TRUE(window->close());
    EXPECT_LT(closing.elapsed(), 1000);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(fake.questions.size(), 1);
    EXPECT_GE(card::CardAccess::threadsRunning(), 1);

    fake.releaseCardCalls();
    EXPECT_TRUE(card::CardAccess::waitForThreads(std::chrono::seconds{10}));
    answerFor(100);
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
    EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
    EXPECT_FALSE(logLines().join('\n').contains(kDone));
}

}  // namespace
