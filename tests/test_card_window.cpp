// The card in the main window: picking a drive, reading the card, and the database download,
// against temporary folders standing in for drives and a real HTTP server.
#include "support/card_window.h"

namespace {

// ------------------------------------------------------------------ drive selection and reading

TEST_F(CardWindow, FirstFillSelectsTheCurrentFolderDriveAndReadsOnce) {
    fillDrives();
    EXPECT_EQ(UI(window, DriveComboBox1)->count(), 2);
    EXPECT_EQ(UI(window, DriveComboBox1)->currentData().toString(), rootA);
    EXPECT_EQ(UI(window, DriveComboBox1)->itemText(1), QStringLiteral("B [DASHCAM]"));
    EXPECT_EQ(logLines(), (QStringList{kNoCard, shown(rootA + "/backbbinfo.cfg")}));
    EXPECT_TRUE(buttonGrey());
}

TEST_F(CardWindow, FirstFillFallsBackToTheVolumeAboveOrTheFirst) {
    fake.driveList = {platform::Drive{rootA, "A"}, platform::Drive{"/", "/"}};
    fake.currentRoot = rootA + "deeper/";
    window->fillDriveList();
    EXPECT_EQ(UI(window, DriveComboBox1)->currentIndex(), 0);

    fake.driveList = {platform::Drive{rootB, "B"}, platform::Drive{rootA, "A"}};
    fake.currentRoot = QStringLiteral("/nowhere/listed/");
    UI(window, Memo1)->clear();
    window->fillDriveList();
    EXPECT_EQ(UI(window, DriveComboBox1)->currentIndex(), 0);
    EXPECT_EQ(logLines().size(), 2);

    // No volume at all: nothing to read, so no card.
    fake.driveList.clear();
    UI(window, Memo1)->clear();
    window->setDownloadButton(0);
    window->fillDriveList();
    EXPECT_EQ(UI(window, DriveComboBox1)->currentIndex(), -1);
    EXPECT_EQ(logLines(), QStringList{kNoCard});
    EXPECT_TRUE(buttonGrey());
}

TEST_F(CardWindow, ReadShowsModelAndSerialAndEnablesTheButton) {
    fillDrives();
    pick(1);
    EXPECT_EQ(logLines().mid(0, 2), (QStringList{kCardCurrent, shown(rootB + "/backbbinfo.cfg")}));
    EXPECT_EQ(UI(window, LabeledEdit5)->text(), QStringLiteral("TESTCAM1"));
    EXPECT_EQ(UI(window, LabeledEdit6)->text(), QStringLiteral("0000000000"));
    EXPECT_TRUE(buttonActive());
    EXPECT_EQ(state(window).cfgData.model, QStringLiteral("가 MODEL"));

    // A failed read clears both fields and greys the button; a good one restores them.
    pick(0);
    EXPECT_TRUE(UI(window, LabeledEdit5)->text().isEmpty());
    EXPECT_TRUE(UI(window, LabeledEdit6)->text().isEmpty());
    EXPECT_TRUE(buttonGrey());
    clickWithMouse(UI(window, Panel9));
    EXPECT_TRUE(buttonGrey());
    writeCard(rootA);
    clickWithMouse(UI(window, Panel9));  // re-read after inserting the card, without picking again
    EXPECT_EQ(UI(window, LabeledEdit5)->text(), QStringLiteral("TESTCAM1"));
    EXPECT_TRUE(buttonActive());
}

// A card info file without a first line keeps the previous card's record, as the file's rules
// say, but the version line speaks of this card only: it has no record of a download.
TEST_F(CardWindow, VersionLineDescribesTheCardJustRead) {
    fillDrives();
    pick(1);
    ASSERT_EQ(logLines().front(), kCardCurrent);
    const QString noRecord =
        QStringLiteral("SD카드의 데이터베이스: 받은 기록이 없습니다 (최신 버전 1.0)");
    for (const QByteArray& empty : {QByteArray(), QByteArray("\xEF\xBB\xBF")}) {
        SCOPED_TRACE(empty.isEmpty() ? "0 bytes" : "a byte-order mark alone");
        writeFile(rootB + "backbbinfo.cfg", empty);
        UI(window, Memo1)->clear();
        clickWithMouse(UI(window, Panel9));
        EXPECT_EQ(logLines(), (QStringList{noRecord, shown(rootB + "/backbbinfo.cfg")}));
        // The record still holds the previous card's lines, decoded again.
        EXPECT_EQ(state(window).cfgData.bbinfo, kExampleLine);
        EXPECT_EQ(UI(window, LabeledEdit5)->text(), QStringLiteral("TESTCAM1"));
        EXPECT_TRUE(buttonActive());
    }
}

TEST_F(CardWindow, FailedReadWordingFollowsTheFocus) {
    fillDrives();
    pick(1);
    UI(window, Memo1)->clear();
    struct Step {
        const char* name;
        std::function<void()> act;
        QStringList newLines;  // oldest first
    };
    const QString pathA = shown(rootA + "/backbbinfo.cfg");
    const QString pathB = shown(rootB + "/backbbinfo.cfg");
    const std::vector<Step> steps{
        {"focus then no card",
         [&] {
             focusDriveList();
             pick(0);
         },
         {pathA, kNotRecognised, kInsert}},
        {"the same drive picked again reads nothing", [&] { pick(0); }, {}},
        {"re-read while focused", [&] { clickWithMouse(UI(window, Panel9)); }, {pathA, kNoCard}},
        {"focus, a card",
         [&] {
             focusDriveList();
             pick(1);
         },
         {pathB, kCardCurrent}},
        {"the card's drive picked again reads nothing",
         [&] {
             focusDriveList();
             pick(1);
         },
         {}},
        {"then no card", [&] { pick(0); }, {pathA, kNotRecognised, kInsert}},
        {"re-read button", [&] { clickWithMouse(UI(window, Panel9)); }, {pathA, kNoCard}},
    };
    for (const Step& step : steps) {
        const QStringList before = logLines();
        step.act();
        QStringList added = logLines().mid(0, logLines().size() - before.size());
        std::reverse(added.begin(), added.end());
        EXPECT_EQ(added, step.newLines) << step.name;
    }
    EXPECT_TRUE(fake.boxes.isEmpty());
}

TEST_F(CardWindow, CardFolderRule) {
    fillDrives();
    struct Case {
        const char* downDir;
        const char* fileAt;  // where the card file is put, under the drive root
        const char* logged;  // the path as logged, after the drive root
    };
    for (const Case c :
         {Case{"root", "", "/backbbinfo.cfg"}, Case{"", "", "/backbbinfo.cfg"},
          Case{"Root", "Root/", "Root/backbbinfo.cfg"},
          Case{"DCIM", "DCIM/", "DCIM/backbbinfo.cfg"},
          Case{"DCIM/", "DCIM/", "DCIM/backbbinfo.cfg"},
          Case{"DCIM\\DATA\\", "DCIM/DATA/", "DCIM/DATA/backbbinfo.cfg"},
          // Always beneath the drive root: outer separators are dropped.
          Case{"/DCIM", "DCIM/", "DCIM/backbbinfo.cfg"},
          Case{"\\DCIM\\", "DCIM/", "DCIM/backbbinfo.cfg"}, Case{"/", "", "/backbbinfo.cfg"},
          Case{"a/b/c/d/e/f/g/h", "a/b/c/d/e/f/g/h/", "a/b/c/d/e/f/g/h/backbbinfo.cfg"},
          Case{"새 폴더", "새 폴더/", "새 폴더/backbbinfo.cfg"}}) {
        QTemporaryDir drive;
        const QString root = drive.path() + "/";
        writeCard(root + c.fileAt);
        fake.driveList = {platform::Drive{root, "X"}};
        window->fillDriveList();
        UI(window, Memo1)->clear();
        state(window).UserInfo.DownDir = QString::fromUtf8(c.downDir);
        clickWithMouse(UI(window, Panel9));
        EXPECT_EQ(logLines(),
                  (QStringList{kCardCurrent, shown(root + QString::fromUtf8(c.logged))}))
            << c.downDir;
        EXPECT_TRUE(buttonActive()) << c.downDir;
    }
}

TEST_F(CardWindow, CardFolderThatLeavesTheCardIsRefused) {
    fillDrives();
    // A card file one level above the drive, that must never be read.
    writeFile(outside.path() + "/backbbinfo.cfg", kCardFile);
    pick(0);
    for (const char* dir :
         {"..", "../", "a/../..", "..\\", "/..", "c:", "C:\\x", "D:DCIM", "a\nb", "a\tb",
          "a/b/c/d/e/f/g/h/i", "x/x/x/x/x/x/x/x/x/x",
          "A234567890123456789012345678901234567890123456789012345678901234567890123456789"
          "A234567890123456789012345678901234567890123456789012345678901234567890123456789"
          "A234567890123456789012345678901234567890123456789012345678901234567890123456789"
          "A2345"}) {  // 242 characters
        UI(window, Memo1)->clear();
        fake.boxes.clear();
        state(window).UserInfo.DownDir = QString::fromUtf8(dir);
        emit UI(window, Panel9)->clicked();
        EXPECT_TRUE(logLines().isEmpty()) << dir;
        ASSERT_EQ(fake.errorTexts().size(), 1) << dir;
        EXPECT_TRUE(fake.errorTexts().front().contains(QStringLiteral("SD카드 안의 폴더가 아니")));
        EXPECT_TRUE(UI(window, LabeledEdit5)->text().isEmpty()) << dir;
    }
}

TEST_F(CardWindow, UnreadableCardFileEndsTheReadInTheErrorBox) {
    fillDrives();
    pick(1);
    const TcfgData before = state(window).cfgData;
    QFile huge(rootA + "backbbinfo.cfg");
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(qint64{1} << 32));
    huge.close();
    UI(window, Memo1)->clear();
    pick(0);
    EXPECT_EQ(logLines(), QStringList{shown(rootA + "/backbbinfo.cfg")});
    ASSERT_EQ(fake.errorTexts().size(), 1);
    EXPECT_TRUE(fake.errorTexts().front().startsWith("Cannot open file"));
    EXPECT_EQ(state(window).cfgData.bbinfo, before.bbinfo);
    EXPECT_EQ(UI(window, LabeledEdit5)->text(), QStringLiteral("TESTCAM1"));
    EXPECT_TRUE(buttonActive());
}

// ------------------------------------------------------------------ not a card info file

// Something other than a regular file with the card info file's name: a folder on any system;
// a link (to a good card file) or a pipe where the file system has them (FAT has neither).
struct NotACardFile {
    const char* name;
    std::function<bool(const QString& path, const QString& elsewhere)> make;
};

void PrintTo(const NotACardFile& kind, std::ostream* os) {
    *os << kind.name;
}

std::vector<NotACardFile> notCardFiles() {
    std::vector<NotACardFile> kinds{
        {"Folder", [](const QString& path, const QString&) { return QDir().mkpath(path); }}};
#ifndef _WIN32
    kinds.push_back({"Link", [](const QString& path, const QString& elsewhere) {
                         return QFile::link(elsewhere, path);
                     }});
    kinds.push_back({"Pipe", [](const QString& path, const QString&) {
                         return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
                     }});
#endif
    return kinds;
}

class CardWindowNotACardFile : public CardWindow,
                               public ::testing::WithParamInterface<NotACardFile> {
  protected:
    // Puts the odd entry in place of the card info file under root.
    void plant(const QString& root) {
        const QString path = root + "backbbinfo.cfg";
        QFile::remove(path);
        writeFile(outside.path() + "/elsewhere/backbbinfo.cfg", kCardFile);
        ASSERT_TRUE(GetParam().make(path, outside.path() + "/elsewhere/backbbinfo.cfg"));
    }
    // B holds a good card again, whatever was planted there, and has been read.
    void readAGoodCard() {
        QFile::remove(rootB + "backbbinfo.cfg");
        QDir(rootB + "backbbinfo.cfg").removeRecursively();
        fillDrives();
        pick(1);
    }
    // The not-found path of a card read: the path, the wording, fields cleared, button grey.
    void expectNoCard(const QStringList& newestFirst) {
        EXPECT_EQ(logLines().mid(0, newestFirst.size()), newestFirst);
        EXPECT_TRUE(UI(window, LabeledEdit5)->text().isEmpty());
        EXPECT_TRUE(UI(window, LabeledEdit6)->text().isEmpty());
        EXPECT_TRUE(buttonGrey());
        EXPECT_TRUE(fake.boxes.isEmpty()) << fake.errorTexts().join(' ').toStdString();
    }
};

TEST_P(CardWindowNotACardFile, IsNoCardAtStartUpAndAfterACard) {
    // At start-up: the current folder's drive has the odd entry.
    plant(rootA);
    fillDrives();
    expectNoCard({kNoCard, shown(rootA + "/backbbinfo.cfg")});

    // After a good card: the re-read finds the odd entry in its place.
    pick(1);
    ASSERT_TRUE(buttonActive());
    plant(rootB);
    UI(window, Memo1)->clear();
    clickWithMouse(UI(window, Panel9));
    expectNoCard({kNoCard, shown(rootB + "/backbbinfo.cfg")});
}

// A good card read, then the entry changes before the click: nothing is fetched or written, and
// the download says why in its own words, whichever wording the card read would next use.
TEST_P(CardWindowNotACardFile, StopsADownloadInItsOwnWords) {
    for (const bool focused : {false, true}) {
        SCOPED_TRACE(focused ? "bDrCheck set" : "bDrCheck clear");
        readAGoodCard();
        ASSERT_TRUE(buttonActive());
        plant(rootB);
        state(window).bDrCheck = focused;
        UI(window, Memo1)->clear();
        click();
        expectNoCard({shown(rootB + "/rp_cam.idb") + kFailed, card::notACardFileReason(),
                      shown(rootB + "/backbbinfo.cfg"), QStringLiteral("최신 DB를 내려받습니다")});
        EXPECT_EQ(logLines().size(), 4);
        EXPECT_EQ(state(window).bDrCheck, focused);
        EXPECT_TRUE(requestsTo("/files/").empty());
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
        EXPECT_FALSE(QFileInfo(rootB + "backbbinfo.cfg").isFile() &&
                     !QFileInfo(rootB + "backbbinfo.cfg").isSymLink());
        EXPECT_EQ(readAll(outside.path() + "/elsewhere/backbbinfo.cfg"), kCardFile);
    }
}

// The entry changes while the file arrives: the database counts and the card stays ready for
// it; the odd entry is reported and never written over.
TEST_P(CardWindowNotACardFile, IsNeverWrittenOverAfterADownload) {
    for (const bool focused : {false, true}) {
        SCOPED_TRACE(focused ? "bDrCheck set" : "bDrCheck clear");
        readAGoodCard();
        whileServing = [this] { plant(rootB); };
        state(window).bDrCheck = focused;
        fake.flushedVolumes.clear();
        UI(window, Memo1)->clear();
        click();
        whileServing = nullptr;
        EXPECT_EQ(logLines(), (QStringList{kEject, card::cardInfoNotWrittenReason(),
                                           shown(rootB + "/backbbinfo.cfg"),
                                           shown(rootB + "/rp_cam.idb") + kDone,
                                           QStringLiteral("최신 DB를 내려받습니다")}));
        EXPECT_EQ(state(window).bDrCheck, focused);
        EXPECT_TRUE(buttonActive());
        EXPECT_EQ(UI(window, LabeledEdit5)->text(), QStringLiteral("TESTCAM1"));
        EXPECT_EQ(UI(window, LabeledEdit6)->text(), QStringLiteral("0000000000"));
        EXPECT_EQ(fake.flushedVolumes, QStringList{rootB});
        EXPECT_TRUE(fake.boxes.isEmpty());
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(database));
        EXPECT_FALSE(QFileInfo(rootB + "backbbinfo.cfg").isFile() &&
                     !QFileInfo(rootB + "backbbinfo.cfg").isSymLink());
        EXPECT_EQ(readAll(outside.path() + "/elsewhere/backbbinfo.cfg"), kCardFile);
        EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
    }
}

// A new volume whose card info name is taken by something else is not a card to switch to.
TEST_P(CardWindowNotACardFile, IsNotTakenWhenItsVolumeArrives) {
    fillDrives();
    pick(1);
    QTemporaryDir driveC{outside.path() + "/C-XXXXXX"};
    const QString rootC = driveC.path() + QLatin1Char('/');
    plant(rootC);
    fake.driveList.append(platform::Drive{rootC, QStringLiteral("C")});
    UI(window, Memo1)->clear();
    fake.drivesChanged();
    EXPECT_EQ(selectedRootOf(UI(window, DriveComboBox1)), rootB);
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_TRUE(buttonActive());
    EXPECT_TRUE(fake.boxes.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, CardWindowNotACardFile, ::testing::ValuesIn(notCardFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

// After a failed read the button stays as it was; a download must still not write the
// lines of another card over a file the program could not read.
TEST_F(CardWindow, DownloadNeverRewritesACardFileItCouldNotRead) {
    fillDrives();
    pick(1);
    QByteArray large = kCardFile;
    large.append(QByteArray(70 * 1024, 'x'));
    writeFile(rootA + "backbbinfo.cfg", large);
    pick(0);
    ASSERT_EQ(fake.errorTexts().size(), 1);
    ASSERT_TRUE(buttonActive());
    click();
    EXPECT_EQ(readAll(rootA + "backbbinfo.cfg"), large);
    EXPECT_EQ(fake.errorTexts().size(), 2);
}

// Card A read, then card B put into the same slot: B keeps its own identity and lines.
TEST_F(CardWindow, SwappedCardKeepsItsOwnLines) {
    fillDrives();
    pick(1);
    const QByteArray cardB =
        "515A3234303032" + QByteArray(125, '1') + "\r\nB SPACE\r\nB MODEL\r\nB SW\r\nB FW\r\n";
    writeFile(rootB + "backbbinfo.cfg", cardB);
    click();
    const QList<QByteArray> lines = readAll(rootB + "backbbinfo.cfg").split('\n');
    ASSERT_EQ(lines.size(), 7);
    EXPECT_EQ(lines[0].left(100), cardB.left(100));
    EXPECT_EQ(lines[1], "B SPACE\r");
    EXPECT_EQ(lines[4], "B FW\r");
    EXPECT_EQ(lines[5], "B SPACE\r");
    EXPECT_TRUE(fake.errorTexts().isEmpty());
}

// Focus that comes back with the window is not the user entering the drive list.
TEST_F(CardWindow, WindowActivationDoesNotCountAsEnteringTheList) {
    for (const Qt::FocusReason reason : {Qt::ActiveWindowFocusReason, Qt::PopupFocusReason}) {
        QFocusEvent focus(QEvent::FocusIn, reason);
        QCoreApplication::sendEvent(UI(window, DriveComboBox1), &focus);
        EXPECT_FALSE(state(window).bDrCheck) << reason;
    }
    QFocusEvent focus(QEvent::FocusIn, Qt::MouseFocusReason);
    QCoreApplication::sendEvent(UI(window, DriveComboBox1), &focus);
    EXPECT_TRUE(state(window).bDrCheck);
}

TEST_F(CardWindow, ListIsReadAgainWhenTheUserOpensItAndKeepsTheSelection) {
    fillDrives();
    pick(1);
    QTemporaryDir driveC;
    const QString rootC = driveC.path() + "/";
    fake.driveList = {platform::Drive{rootC, "C"}, platform::Drive{rootB, "B"}};
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(UI(window, DriveComboBox1), &press);
    QCoreApplication::processEvents();
    QComboBox* box = UI(window, DriveComboBox1);
    box->hidePopup();
    EXPECT_EQ(box->count(), 2);
    EXPECT_EQ(box->itemData(0).toString(), rootC);
    EXPECT_EQ(box->currentData().toString(), rootB);

    // The selected card is pulled out: it stays selected, so a re-read reports no card.
    fake.driveList = {platform::Drive{rootC, "C"}};
    QCoreApplication::sendEvent(box, &press);
    box->hidePopup();
    EXPECT_EQ(box->currentData().toString(), rootB);
    EXPECT_EQ(box->count(), 2);
}

// ------------------------------------------------------------------ cards coming and going

// The watcher reports a change of the mounted volumes. Drives: A (no card, the current
// folder's), B (a card), C (new; what it holds varies). "$A" etc. stand for the roots.
TEST_F(CardWindow, WatchedVolumesFollowTheMountTable) {
    enum class COnCard { None, Card, CardInOtherFolder };
    struct Case {
        const char* name;
        const char* before;  // the drives listed before the change
        char picked;         // the drive selected before the change ('-' for none)
        const char* after;   // the drives mounted after it
        COnCard c;
        char selected;         // the drive selected after it ('-' for none)
        QStringList newLines;  // what the change logs, newest first
        bool cardShown;        // the model and serial fields are filled, the button active
    };
    const Case cases[] = {
        {"CardInsertedIsSelectedAndRead",
         "AB",
         'A',
         "ABC",
         COnCard::Card,
         'C',
         {kCardCurrent, "$C/backbbinfo.cfg"},
         true},
        {"CardInsertedTakesOverAPickedCard",
         "AB",
         'B',
         "ABC",
         COnCard::Card,
         'C',
         {kCardCurrent, "$C/backbbinfo.cfg"},
         true},
        {"VolumeWithoutCardLeavesThePickedDrive", "AB", 'A', "ABC", COnCard::None, 'A', {}, false},
        {"CardFileOutsideTheCardFolderIsNoCard",
         "AB",
         'B',
         "ABC",
         COnCard::CardInOtherFolder,
         'B',
         {},
         true},
        {"SelectedCardPulledIsDroppedAndCleared",
         "AB",
         'B',
         "A",
         COnCard::None,
         '-',
         {kRemoved},
         false},
        {"OtherVolumeGoingKeepsTheCard", "ABC", 'B', "AB", COnCard::None, 'B', {}, true},
        {"CardSwappedForAnotherIsRead",
         "AB",
         'B',
         "AC",
         COnCard::Card,
         'C',
         {kCardCurrent, "$C/backbbinfo.cfg", kRemoved},
         true},
        {"VolumeArrivingIntoAnEmptyListIsRead",
         "",
         '-',
         "C",
         COnCard::None,
         'C',
         {kNoCard, "$C/backbbinfo.cfg"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        window = std::make_unique<TFMain>();
        state(window).UserInfo.DownDir = QStringLiteral("root");
        QTemporaryDir driveC;
        const QString rootC = driveC.path() + QLatin1Char('/');
        writeCard(rootB);
        if (c.c == COnCard::Card)
            writeCard(rootC);
        if (c.c == COnCard::CardInOtherFolder)
            writeCard(rootC + "DCIM/");
        const QMap<char, platform::Drive> all{
            {'A', {rootA, "A"}}, {'B', {rootB, "B [DASHCAM]"}}, {'C', {rootC, "C [NEW]"}}};
        const auto drives = [&all](const char* letters) {
            QList<platform::Drive> list;
            for (const char* l = letters; *l; ++l)
                list.append(all.value(*l));
            return list;
        };
        const auto rootOf = [&all](char letter) {
            return letter == '-' ? QString() : all.value(letter).root;
        };

        fake.onDrivesChanged = nullptr;
        fake.driveList = drives(c.before);
        fake.currentRoot = rootA;
        window->fillDriveList();
        QComboBox* box = UI(window, DriveComboBox1);
        if (c.picked != '-')
            pick(box->findData(rootOf(c.picked)));
        ASSERT_EQ(selectedRootOf(box), rootOf(c.picked));
        const QStringList before = logLines();

        fake.driveList = drives(c.after);
        fake.drivesChanged();

        QStringList listed;
        for (int i = 0; i < box->count(); ++i)
            listed.append(box->itemData(i).toString());
        QStringList expectedListed;
        for (const platform::Drive& d : fake.driveList)
            expectedListed.append(d.root);
        EXPECT_EQ(listed, expectedListed);
        EXPECT_EQ(selectedRootOf(box), rootOf(c.selected));
        QStringList expectedLines;
        for (QString line : c.newLines) {
            // What the card records, beside the version this test's account offers.
            if (line == kCardCurrent)
                line = card::cardDatabaseLine(kExampleLine, state(window).UserInfo.Version);
            expectedLines.append(shown(line.replace(QStringLiteral("$C"), rootC)));
        }
        EXPECT_EQ(logLines().mid(0, logLines().size() - before.size()), expectedLines);
        EXPECT_EQ(logLines().mid(logLines().size() - before.size()), before);
        EXPECT_EQ(UI(window, LabeledEdit5)->text().isEmpty(), !c.cardShown);
        EXPECT_EQ(UI(window, LabeledEdit6)->text().isEmpty(), !c.cardShown);
        EXPECT_EQ(buttonActive(), c.cardShown);
        EXPECT_EQ(buttonGrey(), !c.cardShown);
    }
}

// A reader that keeps its letter: only the identity of the volume in it changes (0: no card).
// Drive A holds no card; B is the reader, selected.
TEST_F(CardWindow, ReaderThatKeepsItsLetterIsReadByTheVolumeInIt) {
    const QByteArray cardB =
        "515A3234303032" + QByteArray("4341524442315F") + QByteArray(111, '0') + "\r\nS\r\n";
    struct Case {
        const char* name;
        quint64 before;              // the volume in B before the change (0: empty)
        quint64 after;               // and after it
        QByteArray cardAfter;        // B's card info file after the change (empty: none)
        QStringList newLines;        // newest first; "$B" stands for B's card info path
        QString model;               // shown after the change
        bool readerSelected = true;  // false: A (no card) is the selected drive
    };
    const QString cardBLine =
        card::cardDatabaseLine(QString::fromLatin1(cardB.left(cardB.indexOf('\r'))), "1.0");
    const Case cases[] = {
        {"EmptyThenACard", 0, 7, kCardFile, {kCardCurrent, "$B"}, "TESTCAM1"},
        {"ACardThenEmpty", 7, 0, {}, {kRemoved}, ""},
        {"CardASwappedForCardB", 7, 8, cardB, {cardBLine, "$B", kRemoved}, "CARDB1"},
        {"Unchanged", 7, 7, kCardFile, {}, "TESTCAM1"},
        // The reader is not the selected drive: a card going in is taken; one going out or
        // nothing changing leaves the selected drive alone and says nothing.
        {"EmptyThenACardInAnotherReader", 0, 7, kCardFile, {kCardCurrent, "$B"}, "TESTCAM1", false},
        {"ACardThenEmptyInAnotherReader", 7, 0, {}, {}, "", false},
        {"CardSwappedInAnotherReader", 7, 8, cardB, {cardBLine, "$B"}, "CARDB1", false},
        {"UnchangedInAnotherReader", 7, 7, kCardFile, {}, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(rootB + "backbbinfo.cfg");
        if (c.before != 0)
            writeCard(rootB);
        fake.driveList = {platform::Drive{rootA, "A", 1}, platform::Drive{rootB, "B", c.before}};
        fake.currentRoot = rootA;
        window->fillDriveList();
        pick(1);
        if (!c.readerSelected)
            pick(0);
        ASSERT_EQ(buttonActive(), c.readerSelected && c.before != 0);

        QFile::remove(rootB + "backbbinfo.cfg");
        QFile::remove(rootB + "rp_cam.idb");
        if (!c.cardAfter.isEmpty()) {
            writeFile(rootB + "backbbinfo.cfg", c.cardAfter);
            writeFile(rootB + "rp_cam.idb", kOldDatabase);
        }
        fake.driveList[1].identity = c.after;
        UI(window, Memo1)->clear();
        fake.drivesChanged();

        QStringList expected;
        for (QString line : c.newLines)
            expected.append(line == "$B" ? shown(rootB + "/backbbinfo.cfg") : line);
        EXPECT_EQ(logLines(), expected);
        EXPECT_EQ(selectedRootOf(UI(window, DriveComboBox1)),
                  c.readerSelected || !c.model.isEmpty() ? rootB : rootA);
        EXPECT_EQ(UI(window, LabeledEdit5)->text(), c.model);
        EXPECT_EQ(buttonActive(), !c.model.isEmpty());
        EXPECT_EQ(buttonGrey(), c.model.isEmpty());
    }
}

// Opening the list sees the new volume first: the watcher's report still reads it.
TEST_F(CardWindow, OpeningTheListDoesNotHideAReaderChange) {
    fake.driveList = {platform::Drive{rootA, "A", 1}, platform::Drive{rootB, "B", 0}};
    fake.currentRoot = rootA;
    window->fillDriveList();
    pick(1);
    writeCard(rootB);
    fake.driveList[1].identity = 9;
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(UI(window, DriveComboBox1), &press);
    UI(window, DriveComboBox1)->hidePopup();
    UI(window, Memo1)->clear();
    fake.drivesChanged();
    EXPECT_EQ(logLines(), (QStringList{kCardCurrent, shown(rootB + "/backbbinfo.cfg")}));
    EXPECT_TRUE(buttonActive());
}

// Until the drive list is first filled nothing is watched; a report that changes nothing
// logs nothing.
TEST_F(CardWindow, WatchingStartsWithTheFirstFillAndIgnoresNonChanges) {
    EXPECT_FALSE(fake.onDrivesChanged);
    fillDrives();
    ASSERT_TRUE(fake.onDrivesChanged);
    pick(1);
    const QStringList before = logLines();
    fake.drivesChanged();
    EXPECT_EQ(logLines(), before);
    EXPECT_EQ(UI(window, DriveComboBox1)->currentData().toString(), rootB);
}

// ------------------------------------------------------------------ the download

TEST_F(CardWindow, DownloadPutsTheDatabaseOnTheCardAndRewritesTheCardFile) {
    fillDrives();
    pick(1);
    UI(window, Memo1)->clear();
    click();

    EXPECT_TRUE(fake.boxes.isEmpty());
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(database));
    EXPECT_EQ(logLines(), (QStringList{kEject, shown(rootB + "/rp_cam.idb") + kDone,
                                       QStringLiteral("최신 DB를 내려받습니다")}));
    EXPECT_EQ(state(window).UserInfo.Version, QStringLiteral("2.5"));
    EXPECT_EQ(UI(window, LabeledEdit7)->text(), QStringLiteral("2.5"));
    EXPECT_EQ(state(window).UserInfo.FileName, QStringLiteral("rp_v2.idb"));
    EXPECT_EQ(state(window).UserInfo.Path, QStringLiteral("/files/v2/"));
    EXPECT_EQ(requestsTo("/files/").size(), 1u);

    // The card file: today's date and the version, lines 2-5 byte for byte.
    const QByteArray expected = kExampleLine.left(100).toLatin1() +
                                "3230323530333134322E350000000000\r\nSPACE\r\n\xB0\xA1 "
                                "MODEL\r\nSW\x80\xFF\r\nFW 3.4\r\nSPACE\r\n";
    EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), expected);
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
}

// The card is flushed only once both files are written; it is said to be ready to pull only
// when the flush left it known clean, and otherwise the driver is told to eject it first.
TEST_F(CardWindow, CardIsFlushedAfterTheCardFileAndSaidToBeReadyOnlyWhenItIsClean) {
    const QString ready = QStringLiteral("이제 SD카드를 빼도 됩니다");
    const QString eject = platform::ejectAdvice(platform::thisSystem());
    const QString done = shown(rootB + "/rp_cam.idb") + kDone;
    const QString msg = QStringLiteral("최신 DB를 내려받습니다");
    struct Case {
        const char* name;
        platform::VolumeFlush flush;
        QString last;
    };
    for (const Case& c :
         {Case{"clean", platform::VolumeFlush::Clean, ready},
          Case{"flushed, still marked in use", platform::VolumeFlush::Flushed, eject},
          Case{"the flush fails", platform::VolumeFlush::Failed, eject}}) {
        SCOPED_TRACE(c.name);
        fillDrives();
        pick(1);
        UI(window, Memo1)->clear();
        fake.flushedVolumes.clear();
        fake.flushOutcome = c.flush;
        // Runs on the download's worker, which flushes the card: the log is not its to read.
        QByteArray cardFileAtFlush;
        fake.onFlush = [&] { cardFileAtFlush = readAll(rootB + "backbbinfo.cfg"); };
        click();
        EXPECT_EQ(fake.flushedVolumes, QStringList{rootB});
        EXPECT_TRUE(cardFileAtFlush.contains("3230323530333134322E35"));  // date and version
        EXPECT_EQ(logLines(), (QStringList{c.last, done, msg}));
        EXPECT_TRUE(fake.boxes.isEmpty());
    }
    // A failed download leaves the card as it was: nothing to flush, nothing to say.
    {
        std::lock_guard<std::mutex> lock(mutex);
        filePath = "/files/elsewhere";
    }
    fake.flushedVolumes.clear();
    fake.flushOutcome = platform::VolumeFlush::Clean;
    UI(window, Memo1)->clear();
    click();
    EXPECT_TRUE(fake.flushedVolumes.isEmpty());
    EXPECT_FALSE(logLines().contains(ready));
    EXPECT_FALSE(logLines().contains(eject));
}

// Which flush lets the card be pulled at once: FAT on Windows after a flush of its root
// folder; never exFAT or NTFS, nothing on Linux, nothing after a failed flush.
TEST(VolumeFlush, OnlyAFlushedFatVolumeOnWindowsIsClean) {
    using platform::SystemKind;
    using platform::VolumeFlush;
    struct Case {
        SystemKind system;
        const char* fileSystem;
        bool flushed;
        VolumeFlush expected;
    };
    for (const Case& c : {
             Case{SystemKind::Windows, "FAT", true, VolumeFlush::Clean},
             Case{SystemKind::Windows, "FAT32", true, VolumeFlush::Clean},
             Case{SystemKind::Windows, "FAT16", true, VolumeFlush::Clean},
             Case{SystemKind::Windows, "FAT12", true, VolumeFlush::Clean},
             Case{SystemKind::Windows, "FAT32", false, VolumeFlush::Failed},
             Case{SystemKind::Windows, "exFAT", true, VolumeFlush::Flushed},
             Case{SystemKind::Windows, "NTFS", true, VolumeFlush::Flushed},
             Case{SystemKind::Windows, "", true, VolumeFlush::Flushed},
             Case{SystemKind::Linux, "vfat", true, VolumeFlush::Flushed},
             Case{SystemKind::Linux, "FAT32", true, VolumeFlush::Flushed},
             Case{SystemKind::Linux, "", false, VolumeFlush::Failed},
         }) {
        EXPECT_EQ(
            platform::judgeVolumeFlush(c.system, QString::fromLatin1(c.fileSystem), c.flushed),
            c.expected)
            << c.fileSystem << (c.system == SystemKind::Windows ? " on Windows" : " on Linux");
    }
    EXPECT_TRUE(platform::ejectAdvice(SystemKind::Windows)
                    .contains(QStringLiteral("하드웨어 안전하게 제거")));
    EXPECT_TRUE(platform::ejectAdvice(SystemKind::Linux).contains(QStringLiteral("꺼내기")));
}

#ifndef _WIN32
// A card whose lock switch is on is mounted read-only: the usual failure line with the reason
// beneath it, nothing fetched, and the card as it was.
TEST_F(CardWindow, LockedCardFailsWithTheLockSwitchReasonAndStaysAsItWas) {
    const QByteArray driveB = QFile::encodeName(rootB);
    if (::geteuid() != 0 || ::mount("tmpfs", driveB.constData(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "a locked card needs the right to mount a tmpfs";
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{driveB};
    fillDrives();
    pick(1);
    ASSERT_EQ(::mount(nullptr, driveB.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    fake.flushOutcome = platform::VolumeFlush::Clean;
    UI(window, Memo1)->clear();
    click();
    EXPECT_TRUE(fake.boxes.isEmpty());
    EXPECT_EQ(logLines(),
              (QStringList{shown(rootB + "/rp_cam.idb") + kFailed,
                           QStringLiteral(
                  "SD카드에 쓸 수 없습니다 (SD카드 옆면의 잠금 스위치를 풀고 다시 꽂아 주세요. "
                  "잠금 스위치가 풀려 있으면 이 컴퓨터가 이동식 디스크에 쓰는 것을 막고 있을 수 "
                  "있습니다)"),
                           QStringLiteral("최신 DB를 내려받습니다")}));
    EXPECT_TRUE(requestsTo("/files/").empty());
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
    EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
    EXPECT_TRUE(fake.flushedVolumes.isEmpty());
}
#endif

TEST_F(CardWindow, RequestCarriesTheFourValuesPercentEncoded) {
    fillDrives();
    pick(1);
    struct Case {
        const char* name;
        QString user;
        QString model;
        std::string echoBody;
        int echoStatus;
        std::string query;
    };
    for (const Case& c :
         {Case{"plain", "kim", "QZ24001", R"({"ip":"203.0.113.7"})", 200,
               "mem_ID=kim&bInfo_modelName=QZ24001&bInfo_serialno=0000000000&Con_IP=203.0.113.7"},
          Case{"hostile and Korean", "a&b=c d", "블랙 1", R"({"ip":"::1"})", 200,
               "mem_ID=a%26b%3Dc%20d&bInfo_modelName=%EB%B8%94%EB%9E%99%201&bInfo_serialno="
               "0000000000&Con_IP=%3A%3A1"},
          Case{"forged parameter", "kim&mem_ID=lee", "M", R"({"ip":1234})", 200,
               "mem_ID=kim%26mem_ID%3Dlee&bInfo_modelName=M&bInfo_serialno=0000000000&Con_IP=1234"},
          Case{"echo fails", "kim", "M", "busy", 503,
               "mem_ID=kim&bInfo_modelName=M&bInfo_serialno=0000000000&Con_IP="},
          Case{"echo not an object", "kim", "M", R"(["1.2.3.4"])", 200,
               "mem_ID=kim&bInfo_modelName=M&bInfo_serialno=0000000000&Con_IP="},
          Case{"echo without ip", "kim", "M", R"({"addr":"1.2.3.4"})", 200,
               "mem_ID=kim&bInfo_modelName=M&bInfo_serialno=0000000000&Con_IP="},
          Case{"echo not ASCII", "kim", "M", "{\"ip\":\"1.2.3.4\xC3\xA9\"}", 200,
               "mem_ID=kim&bInfo_modelName=M&bInfo_serialno=0000000000&Con_IP=1.2.3.4%3F%3F"}}) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            echo = c.echoBody;
            echoStatus = c.echoStatus;
        }
        state(window).UserInfo.UserID = c.user;
        state(window).UserInfo.bb_Model_Name = c.model;
        click();
        const auto posts = requestsTo("/mobile/back_c/sdcard_down.json");
        ASSERT_FALSE(posts.empty());
        EXPECT_EQ(posts.back().method, "POST") << c.name;
        EXPECT_EQ(posts.back().query, c.query) << c.name;
        EXPECT_EQ(posts.back().body, "") << c.name;
    }
}

TEST_F(CardWindow, SerialIsEmptyBeforeAnyCardRead) {
    fake.driveList = {platform::Drive{rootB, "B"}};
    fake.currentRoot = rootB;
    UI(window, DriveComboBox1)->addItem("B", rootB);
    // No card read: the button is grey, and only the handler itself can be run.
    EXPECT_TRUE(buttonGrey());
    window->Image2Click();
    waitForDownload();
    ASSERT_FALSE(requestsTo("/mobile/").empty());
    EXPECT_EQ(requestsTo("/mobile/").back().query,
              "mem_ID=kim&bInfo_modelName=QZ24001&bInfo_serialno=&Con_IP=203.0.113.7");
}

// Mode 7 runs getData2, then FDbDownload, each on the whole answer.
TEST_F(CardWindow, ModeSevenRunsBothHandlers) {
    struct Case {
        const char* name;
        std::string body;
        bool result;
        const char* fileName;  // UserInfo.FileName afterwards
        QStringList log;
    };
    for (const Case& c :
         {Case{"accepted", answerJson("true"), true, "rp_v2.idb", {"최신 DB를 내려받습니다"}},
          Case{"accepted in any case",
               answerJson("True"),
               true,
               "rp_v2.idb",
               {"최신 DB를 내려받습니다"}},
          Case{"refused",
               answerJson("false", "/x/", "root", "기간 만료"),
               false,
               "rp_v1.idb",
               {"기간 만료"}},
          Case{"partial answer",
               R"({"flag":"TRUE","sfd_filename":"only.idb","sfd_filepath":{},"msg":"m"})",
               true,
               "only.idb",
               {"m"}},
          Case{"not JSON", "<html>busy</html>", false, "rp_v1.idb", {}}}) {
        state(window).UserInfo.FileName = QStringLiteral("rp_v1.idb");
        UI(window, Memo1)->clear();
        serve(c.body);
        EXPECT_EQ(window->FHttpPost(server.url("/mobile/back_c/sdcard_down.json?a=1"), {}, 7),
                  c.result)
            << c.name;
        EXPECT_EQ(state(window).UserInfo.FileName, QString::fromUtf8(c.fileName)) << c.name;
        EXPECT_EQ(logLines(), c.log) << c.name;
    }
}

struct AnswerCase {
    const char* name;
    std::string body;
    int status;
    const char* error;          // the error box, or nullptr
    bool downloads;             // a file was requested
    const char* requestedPath;  // which one
    const char* version;        // UserInfo.Version afterwards
};

class CardDownloadAnswer : public CardWindow, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(CardDownloadAnswer, DecidesWhatIsFetched) {
    const AnswerCase& c = GetParam();
    fillDrives();
    pick(1);
    serve(c.body, c.status);
    {
        std::lock_guard<std::mutex> lock(mutex);
        filePath = c.requestedPath ? c.requestedPath : "";
    }
    UI(window, Memo1)->clear();
    click();
    if (c.error) {
        ASSERT_EQ(fake.errorTexts().size(), 1);
        EXPECT_EQ(fake.errorTexts().front(), QString::fromUtf8(c.error));
    } else {
        EXPECT_TRUE(fake.boxes.isEmpty());
    }
    const auto files = requestsTo("/files/");
    EXPECT_EQ(files.size(), c.downloads ? 1u : 0u);
    if (c.downloads && !files.empty()) {
        EXPECT_EQ(files.front().path, c.requestedPath);
    }
    EXPECT_EQ(state(window).UserInfo.Version, QString::fromUtf8(c.version));
    if (c.downloads) {
        EXPECT_EQ(logLines().mid(0, 2),
                  (QStringList{kEject, shown(rootB + "/rp_cam.idb") + kDone}));
        EXPECT_TRUE(readAll(rootB + "backbbinfo.cfg").contains("3230323530333134"));
    } else {
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardDownloadAnswer,
    ::testing::Values(
        AnswerCase{"FlagTrue", answerJson("true"), 200, nullptr, true, "/files/v2/rp_v2.idb",
                   "2.5"},
        AnswerCase{"FlagUpper", answerJson("TRUE"), 200, nullptr, true, "/files/v2/rp_v2.idb",
                   "2.5"},
        // Refused: its "msg" is logged and the download goes ahead with what the login gave.
        AnswerCase{"FlagFalse", answerJson("false"), 200, nullptr, true, "/files/v1/rp_v1.idb",
                   "1.0"},
        AnswerCase{"FlagMissing", R"({"msg":"x","sfd_version":"9"})", 200,
                   "Value 'flag' not found.", false, nullptr, "1.0"},
        // getData2 has taken the values; the missing message then ends the click.
        AnswerCase{"MsgMissing",
                   R"({"flag":"true","sfd_filename":"rp_v2.idb","sfd_filepath":"/files/v2/",)"
                   R"("sfd_version":"2.5","bInfo_scdown_directory":"root"})",
                   200, "Value 'msg' not found.", false, nullptr, "2.5"},
        AnswerCase{"Status404", answerJson("true"), 404, nullptr, true, "/files/v1/rp_v1.idb",
                   "1.0"},
        AnswerCase{"NotJson", "<html>maintenance</html>", 200, nullptr, true, "/files/v1/rp_v1.idb",
                   "1.0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardWindow, FailedDownloadKeepsTheOldDatabaseAndTheCardFile) {
    fillDrives();
    pick(1);
    {
        std::lock_guard<std::mutex> lock(mutex);
        filePath = "/files/elsewhere";  // the answer's file gets a 404
    }
    UI(window, Memo1)->clear();
    click();
    EXPECT_TRUE(fake.boxes.isEmpty());
    EXPECT_EQ(logLines().front(), shown(rootB + "/rp_cam.idb") + kFailed);
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
    EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
}

TEST_F(CardWindow, NewCardFolderReceivesBothFiles) {
    fillDrives();
    pick(1);
    QDir(rootB).mkdir("NEW");
    serve(answerJson("true", "/files/v2/", "NEW"));
    click();
    EXPECT_EQ(logLines().mid(0, 2), (QStringList{kEject, shown(rootB + "NEW/rp_cam.idb") + kDone}));
    EXPECT_EQ(readAll(rootB + "NEW/rp_cam.idb"), QByteArray::fromStdString(database));
    // Built from the lines read in the old folder.
    EXPECT_TRUE(
        readAll(rootB + "NEW/backbbinfo.cfg").endsWith("SW\x80\xFF\r\nFW 3.4\r\nSPACE\r\n"));
    EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    EXPECT_EQ(state(window).UserInfo.DownDir, QStringLiteral("NEW"));

    // The next card read looks in the new folder.
    UI(window, Memo1)->clear();
    clickWithMouse(UI(window, Panel9));
    EXPECT_EQ(logLines().back(), shown(rootB + "NEW/backbbinfo.cfg"));
}

TEST_F(CardWindow, MissingCardFolderFailsWithoutWritingAnything) {
    fillDrives();
    pick(1);
    serve(answerJson("true", "/files/v2/", "GONE"));
    click();
    EXPECT_TRUE(fake.boxes.isEmpty());
    EXPECT_EQ(logLines().front(), shown(rootB + "GONE/rp_cam.idb") + kFailed);
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
}

TEST_F(CardWindow, RootFolderPutsBothFilesAtTheDriveRoot) {
    fillDrives();
    state(window).UserInfo.DownDir = QStringLiteral("DCIM");
    writeCard(rootB + "DCIM/");
    pick(1);
    serve(answerJson("true", "/files/v2/", "root"));
    click();
    EXPECT_EQ(logLines().mid(0, 2), (QStringList{kEject, shown(rootB + "/rp_cam.idb") + kDone}));
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(database));
    EXPECT_TRUE(readAll(rootB + "backbbinfo.cfg").contains("322E35"));
}

TEST_F(CardWindow, AnswerThatWouldLeaveTheCardOrTheHostIsRefused) {
    fillDrives();
    pick(1);
    const QStringList outsideBefore = filesUnder(outside.path());
    struct Case {
        const char* name;
        std::string body;
        bool errorBox;
    };
    const std::string hostile = "@" + server.host().toStdString() + "/files/v2/";
    for (const Case& c :
         {Case{"folder climbs out", answerJson("true", "/files/v2/", "../"), true},
          Case{"folder too deep", answerJson("true", "/files/v2/", "1/2/3/4/5/6/7/8/9"), true},
          Case{"folder names a drive", answerJson("true", "/files/v2/", "C:\\\\x"), true},
          Case{"path to another host", answerJson("true", hostile.c_str()), false},
          Case{"path without slash", answerJson("true", "files/v2/"), false}}) {
        fake.boxes.clear();
        UI(window, Memo1)->clear();
        serve(c.body);
        click();
        EXPECT_EQ(fake.errorTexts().size(), c.errorBox ? 1 : 0) << c.name;
        if (!c.errorBox) {
            EXPECT_EQ(logLines().mid(0, 2),
                      (QStringList{shown(rootB + "/rp_cam.idb") + kFailed,
                                   QStringLiteral("서비스가 알려 준 파일 경로가 올바르지 않습니다")}))
                << c.name;
        }
        EXPECT_TRUE(requestsTo("/files/").empty()) << c.name;
        EXPECT_EQ(filesUnder(outside.path()), outsideBefore) << c.name;
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase) << c.name;
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile) << c.name;
        state(window).UserInfo.DownDir = QStringLiteral("root");
        state(window).UserInfo.Path = QStringLiteral("/files/v1/");
    }
}

// The card was pulled out after a good read; its empty mount point is still there.
TEST_F(CardWindow, CardPulledOutWritesNothingIntoTheLeftOverFolder) {
    fillDrives();
    pick(1);
    QFile::remove(rootB + "rp_cam.idb");
    QFile::remove(rootB + "backbbinfo.cfg");
    fake.driveList = {platform::Drive{rootA, "A"}};
    UI(window, Memo1)->clear();
    click();
    EXPECT_TRUE(buttonActive());
    EXPECT_EQ(logLines().mid(0, 2), (QStringList{shown(rootB + "/rp_cam.idb") + kFailed,
                                                 QStringLiteral("선택한 드라이브에 SD카드가 없습니다")}));
    EXPECT_TRUE(filesUnder(rootB).isEmpty());
    EXPECT_EQ(requestsTo("/mobile/").size(), 1u);
}

TEST_F(CardWindow, EachClickRunsTheWholeSequence) {
    fillDrives();
    pick(1);
    click();
    click();
    EXPECT_EQ(requestsTo("/mobile/").size(), 2u);
    EXPECT_EQ(requestsTo("/files/").size(), 2u);
    // fill, pick and what the card records, two clicks of three lines (the message, the
    // outcome, whether the card may be pulled)
    EXPECT_EQ(logLines().size(), 2 + 2 + 2 * 3);
    EXPECT_TRUE(buttonActive());
}

// Without a time-out the lookup would wait as long as the server keeps silent.
TEST_F(CardWindow, IpLookupGivesUpOnASilentService) {
    Gate silence;
    TestServer silent;
    silent.http().Get("/json", [&silence](const httplib::Request&, httplib::Response& res) {
        silence.wait();
        res.set_content(R"({"ip":"1.2.3.4"})", "application/json");
    });
    silent.start();
    Config::instance().ipEchoHost = silent.host();
    EXPECT_EQ(window->FGetIP(), QString());
    silence.open();
}

// ------------------------------------------------------------------ a misbehaving file host

// The service, the IP echo and a file host that sends exactly the bytes a case scripts.
class CardWindowBadHost : public CardWindow {
  protected:
    void SetUp() override {
        CardWindow::SetUp();
        raw = std::make_unique<RawServer>([this](const std::string&, const std::string& path) {
            std::lock_guard<std::mutex> lock(rawMutex);
            if (path.rfind("/mobile/back_c/sdcard_down.json", 0) == 0)
                return RawServer::Reply{RawServer::answer(200, rawAnswer, "application/json")};
            if (path == "/json")
                return RawServer::Reply{RawServer::answer(200, R"({"ip":"10.0.0.7"})")};
            if (path == "/files/v2/rp_v2.idb")
                return fileReply;
            return RawServer::Reply{RawServer::answer(404, "no")};
        });
        Config::instance().serviceHost = raw->host();
        Config::instance().ipEchoHost = raw->host();
        fillDrives();
        pick(1);
    }
    void TearDown() override {
        CardWindow::TearDown();
        raw.reset();
    }
    // The download answer, with the size and hash it declares (null: the key is absent).
    void declare(const char* size, const char* sha256) {
        std::string json =
            R"({"flag":"true","sfd_filename":"rp_v2.idb","sfd_filepath":"/files/v2/",)"
            R"("sfd_version":"2.5","bInfo_scdown_directory":"root","msg":"m")";
        if (size)
            json += std::string(R"(,"sfd_size":")") + size + "\"";
        if (sha256)
            json += std::string(R"(,"sfd_sha256":")") + sha256 + "\"";
        std::lock_guard<std::mutex> lock(rawMutex);
        rawAnswer = json + "}";
    }
    void sendFile(RawServer::Reply reply) {
        std::lock_guard<std::mutex> lock(rawMutex);
        fileReply = std::move(reply);
    }

    std::mutex rawMutex;
    std::string rawAnswer;
    RawServer::Reply fileReply;
    std::unique_ptr<RawServer> raw;
};

const std::string kNewDatabase(300 * 1024, 'N');
std::string sha256Hex(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}
std::string headWithoutLength(const char* extra = "") {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n") + extra +
           "Connection: close\r\n\r\n";
}

TEST_F(CardWindowBadHost, NothingButAWholeVerifiedFileReplacesTheDatabase) {
    const std::string half = kNewDatabase.substr(0, kNewDatabase.size() / 2);
    const std::string size = std::to_string(kNewDatabase.size());
    const std::string otherSha = sha256Hex("another file");
    struct Case {
        const char* name;
        const char* size;
        const char* sha256;
        std::string reply;
        const char* reason;  // part of the reason line
    };
    const Case cases[] = {
        {"empty 200", nullptr, nullptr, RawServer::answer(200, ""), "빈 파일"},
        {"204", nullptr, nullptr, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n",
         "HTTP 204"},
        {"206 with part of the file", nullptr, nullptr,
         RawServer::answer(206, half, "application/octet-stream",
                           "Content-Range: bytes 0-153599/307200\r\n"),
         "HTTP 206"},
        {"length-less cut short", nullptr, nullptr, headWithoutLength() + half, "끝까지 받았는지"},
        {"length-less with only a size", size.c_str(), nullptr, headWithoutLength() + kNewDatabase,
         "끝까지 받았는지"},
        {"length announced, connection closed half-way", nullptr, nullptr,
         "HTTP/1.1 200 OK\r\nContent-Length: " + size + "\r\nConnection: close\r\n\r\n" + half,
         "일부만"},
        {"chunked body without its end", nullptr, nullptr,
         headWithoutLength("Transfer-Encoding: chunked\r\n") + "10\r\n0123456789abcdef\r\n",
         "일부만"},
        {"hotel log-in page", nullptr, nullptr,
         RawServer::answer(200, "<html><body>Log in to the Wi-Fi</body></html>",
                           "text/html; charset=utf-8"),
         "웹 페이지"},
        {"unrequested gzip", nullptr, nullptr,
         RawServer::answer(200, kNewDatabase, "application/octet-stream",
                           "Content-Encoding: gzip\r\n"),
         "압축"},
        {"size mismatch", "307201", nullptr, RawServer::answer(200, kNewDatabase), "크기"},
        {"hash mismatch", size.c_str(), otherSha.c_str(), RawServer::answer(200, kNewDatabase),
         "SHA-256 불일치"},
        {"malformed hash", nullptr, "abc123", RawServer::answer(200, kNewDatabase),
         "올바르지 않습니다"},
        {"malformed size", "12kB", nullptr, RawServer::answer(200, kNewDatabase),
         "올바르지 않습니다"},
        {"longer than declared", "1000", nullptr, headWithoutLength() + kNewDatabase, "커서"},
    };
    for (const Case& c : cases) {
        declare(c.size, c.sha256);
        sendFile({c.reply});
        UI(window, Memo1)->clear();
        click();
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase) << c.name;
        EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile) << c.name;
        EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"})) << c.name;
        const QStringList log = logLines();
        ASSERT_GE(log.size(), 2) << c.name;
        EXPECT_EQ(log.at(0), shown(rootB + "/rp_cam.idb") + kFailed) << c.name;
        EXPECT_TRUE(log.at(1).contains(QString::fromUtf8(c.reason)))
            << c.name << ": " << log.at(1).toStdString();
        EXPECT_EQ(UI(window, ProgressBar1)->value(), 0) << c.name;
        EXPECT_TRUE(fake.boxes.isEmpty()) << c.name;
    }
}

TEST_F(CardWindowBadHost, LengthlessBodyWithMatchingSizeAndHashIsAccepted) {
    declare(std::to_string(kNewDatabase.size()).c_str(),
            QByteArray::fromStdString(sha256Hex(kNewDatabase)).toUpper().constData());
    sendFile({headWithoutLength() + kNewDatabase});
    UI(window, Memo1)->clear();
    click();
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(kNewDatabase));
    EXPECT_EQ(logLines().mid(0, 2), (QStringList{kEject, shown(rootB + "/rp_cam.idb") + kDone}));
    EXPECT_NE(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    EXPECT_EQ(UI(window, ProgressBar1)->value(), UI(window, ProgressBar1)->maximum());
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
}

// The file trickles in; the window keeps handling events, the bar follows the bytes and the
// controls that could disturb the download rest until it is over.
TEST_F(CardWindowBadHost, WindowAnswersWhileTheProgressFollowsTheBytes) {
    declare(nullptr, nullptr);
    RawServer::Reply slow{RawServer::answer(200, kNewDatabase)};
    slow.pieceBytes = 16 * 1024;
    slow.pieceDelayMs = 60;  // about 1.2 s in all
    sendFile(slow);
    QProgressBar* bar = UI(window, ProgressBar1);
    clickWithMouse(UI(window, Image2));
    ASSERT_TRUE(window->isDownloading());
    EXPECT_FALSE(UI(window, Image2)->isEnabled());
    EXPECT_FALSE(UI(window, DriveComboBox1)->isEnabled());
    EXPECT_FALSE(UI(window, Panel9)->isEnabled());

    QList<int> values;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++ticks;
        if (values.isEmpty() || values.back() != bar->value())
            values.append(bar->value());
    });
    ticker.start(20);
    waitForDownload();
    ticker.stop();

    EXPECT_GT(ticks, 20);  // the event loop ran all along
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_GT(values.size(), 4);  // several steps between empty and full
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(UI(window, Image2)->isEnabled());
    EXPECT_TRUE(UI(window, DriveComboBox1)->isEnabled());
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(kNewDatabase));
}

// Cards coming and going during a download leave it alone and the list follows when it ends;
// the card being written going fails the download at once, as a card pulled out does.
TEST_F(CardWindowBadHost, VolumeChangesWaitForTheDownloadUnlessItsCardGoes) {
    QTemporaryDir driveC;
    const QString rootC = driveC.path() + QLatin1Char('/');
    writeCard(rootC);
    struct Case {
        const char* name;
        QList<platform::Drive> after;
        bool cardGone;
    };
    const Case cases[] = {
        {"another card arrives",
         {platform::Drive{rootA, "A"}, platform::Drive{rootB, kCardDrive},
          platform::Drive{rootC, "C"}},
         false},
        {"the card being written goes", {platform::Drive{rootA, "A"}, platform::Drive{rootC, "C"}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fillDrives();
        pick(1);
        UI(window, Memo1)->clear();
        declare(nullptr, nullptr);
        RawServer::Reply slow{RawServer::answer(200, kNewDatabase)};
        slow.pieceBytes = 32 * 1024;
        slow.pieceDelayMs = 40;
        sendFile(slow);
        clickWithMouse(UI(window, Image2));
        ASSERT_TRUE(window->isDownloading());

        QComboBox* box = UI(window, DriveComboBox1);
        const QStringList before = logLines();
        fake.driveList = c.after;
        fake.drivesChanged();
        const QString failed = shown(rootB + "/rp_cam.idb") + kFailed;
        if (c.cardGone) {
            EXPECT_FALSE(window->isDownloading());
            // Then the card that came in is read.
            const QStringList lines = logLines();
            EXPECT_EQ(lines.mid(lines.indexOf(kRemoved), 3),
                      (QStringList{kRemoved, failed,
                                   QStringLiteral("다운로드하는 동안 SD카드가 빠졌습니다")}));
            settle();
            EXPECT_EQ(box->currentData().toString(), rootC);
            EXPECT_TRUE(card::CardAccess::waitForThreads(std::chrono::seconds{20}));
            EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
            EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
            continue;
        }
        EXPECT_TRUE(window->isDownloading());
        EXPECT_EQ(box->count(), 2);
        EXPECT_EQ(box->currentData().toString(), rootB);
        EXPECT_EQ(logLines(), before);

        waitForDownload();
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(kNewDatabase));
        EXPECT_EQ(box->count(), 3);
        EXPECT_EQ(box->currentData().toString(), rootC);
        const QStringList lines = logLines();
        ASSERT_GE(lines.size(), 4);
        EXPECT_EQ(lines.at(0), card::cardDatabaseLine(kExampleLine, QStringLiteral("2.5")));
        EXPECT_EQ(lines.at(1), shown(rootC + "/backbbinfo.cfg"));
        EXPECT_EQ(lines.at(2), kEject);
        EXPECT_EQ(lines.at(3), shown(rootB + "/rp_cam.idb") + kDone);
        EXPECT_TRUE(buttonActive());
    }
}

// Closing the window during a download asks first; stopping keeps the old database.
TEST_F(CardWindowBadHost, ClosingDuringADownloadAsksAndStopsCleanly) {
    declare(nullptr, nullptr);
    RawServer::Reply slow{RawServer::answer(200, kNewDatabase)};
    slow.pieceBytes = 8 * 1024;
    slow.pieceDelayMs = 50;
    sendFile(slow);
    // Its first showing fills the drive list again.
    window->show();
    pick(1);
    clickWithMouse(UI(window, Image2));
    ASSERT_TRUE(window->isDownloading());

    fake.answerYes = false;
    EXPECT_FALSE(window->close());
    EXPECT_EQ(fake.questions.size(), 1);
    EXPECT_TRUE(window->isDownloading());

    fake.answerYes = true;
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isDownloading());
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
    EXPECT_EQ(readAll(rootB + "backbbinfo.cfg"), kCardFile);
    EXPECT_EQ(filesUnder(rootB), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
}

}  // namespace
