// Screen readers and keyboards: every control that acts has a Korean name in the
// accessibility tree, the panels and pictures used as buttons are buttons there, and the
// main flow (log in, pick the drive, download, payment history, exit) works with Tab, Enter
// and Space alone.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "account/tflogin.h"
#include "account/tfmember.h"
#include "app/widgets.h"
#include "payments/tfpaymentlist.h"
#include "support/app_fixture.h"
#include "support/card_example.h"
#include "support/controls.h"
#include "support/files.h"
#include "support/main_window_state.h"

namespace {

const char* kAccepted =
    R"({"flag":"true","msg":"ok","mInfo_NAME":"MORVEL","mInfo_CODE":"378",)"
    R"("bInfo_modelName":"TESTCAM1","bInfo_IDX":"7","payment_Sdate":"2025-01-05",)"
    R"("payment_Edate":"2026-01-04","sfd_filename":"f","sfd_filepath":"/p/",)"
    R"("sfd_version":"2.5","bInfo_scdown_directory":"root"})";
const char* kDatabaseAnswer =
    R"({"flag":"true","sfd_filename":"rp_v2.idb","sfd_filepath":"/files/v2/",)"
    R"("sfd_version":"2.5","bInfo_scdown_directory":"root","msg":"ok"})";
const char* kPayments = R"({"flag":"true","list":[]})";
const QByteArray kCardFile = kExampleLine.toLatin1() + "\r\nSPACE\r\nMODEL\r\nSW\r\nFW\r\n";

// Controls a user acts on; internal parts of Qt's own controls carry no layout name.
bool acts(const QObject* object) {
    const QString name = object->objectName();
    if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
        return false;
    return qobject_cast<const ClickLabel*>(object) || qobject_cast<const QLineEdit*>(object) ||
           qobject_cast<const QComboBox*>(object) || qobject_cast<const QAbstractButton*>(object) ||
           qobject_cast<const QPlainTextEdit*>(object) ||
           qobject_cast<const QAbstractItemView*>(object);
}

// Walks the accessibility tree below iface; names the acting controls that have no name,
// and counts the acting controls seen.
void walk(QAccessibleInterface* iface, QStringList& unnamed, int& seen) {
    if (!iface || !iface->isValid())
        return;
    const QObject* object = iface->object();
    const auto* widget = qobject_cast<const QWidget*>(object);
    if (object && acts(object) && widget && widget->isVisible()) {
        ++seen;
        if (iface->text(QAccessible::Name).trimmed().isEmpty())
            unnamed.append(object->objectName());
    }
    for (int i = 0; i < iface->childCount(); ++i)
        walk(iface->child(i), unnamed, seen);
}

QString nameOf(QWidget* widget) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    return iface ? iface->text(QAccessible::Name) : QString();
}

class Accessibility : public AppFixture {
  protected:
    void setUpServer(TestServer& s) override {
        s.answer("/mobile/back_c/getLogin.json", kAccepted);
        s.answer("/mobile/back_c/sdcard_down.json", kDatabaseAnswer);
        s.answer("/mobile/back_c/paylist.json", kPayments);
        s.answer("/json", R"({"ip":"203.0.113.7"})");
        s.serveFile("/files/v2/rp_v2.idb", database);
    }
    void TearDown() override {
        for (const QPointer<QWidget>& w : opened)
            delete w.data();
        AppFixture::TearDown();
    }
    template <typename Window>
    Window* open() {
        auto* w = new Window;
        opened.append(w);
        w->show();
        return w;
    }
    // Shows the window and waits until it has the keyboard.
    static void activate(QWidget* w) {
        w->show();
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    }
    static QWidget* focused() { return QApplication::focusWidget(); }
    // A key pressed and released where the keyboard focus is.
    static void key(Qt::Key k) {
        QWidget* target = focused();
        ASSERT_NE(target, nullptr);
        QTest::keyClick(target, k);
    }
    // Presses Tab until the focus is on target; false when it never gets there.
    static bool tabTo(QWidget* target, int most = 12) {
        for (int i = 0; i < most && focused() != target; ++i)
            QTest::keyClick(focused(), Qt::Key_Tab);
        return focused() == target;
    }

    std::string database = std::string(20000, 'D') + "end";
    QList<QPointer<QWidget>> opened;
};

TEST_F(Accessibility, EveryActingControlHasAName) {
    window->show();
    QList<QWidget*> windows{window.get(), open<TFLogin>(), open<TFMember>(), open<TFPaymentList>()};
    for (QWidget* w : windows) {
        SCOPED_TRACE(w->objectName().toStdString());
        QStringList unnamed;
        int seen = 0;
        walk(QAccessible::queryAccessibleInterface(w), unnamed, seen);
        EXPECT_GT(seen, 2) << "the walk did not reach the controls";
        EXPECT_EQ(unnamed, QStringList());
    }
}

// The picture buttons say what they do; each field is named after its caption.
TEST_F(Accessibility, PicturesAndFieldsCarryTheirNames) {
    auto* login = open<TFLogin>();
    const std::pair<QWidget*, QString> pictures[] = {
        {UI(window, Image2), QStringLiteral("다운로드")},
        {UI(window, Image3), QStringLiteral("연장결제하기")},
        {UI(window, Image4), QStringLiteral("결제내역확인")},
        {UI(window, Image5), QStringLiteral("프로그램종료")},
        {UI(login, Image2), QStringLiteral("사용자 메뉴얼")},
    };
    for (const auto& [picture, name] : pictures)
        EXPECT_EQ(nameOf(picture), name) << picture->objectName().toStdString();
    EXPECT_FALSE(nameOf(UI(window, Image1)).isEmpty());
    EXPECT_FALSE(nameOf(UI(window, Image8)).isEmpty());

    QList<QWidget*> windows{window.get(), login, open<TFMember>()};
    int fields = 0;
    for (QWidget* w : windows) {
        for (QLineEdit* edit : w->findChildren<QLineEdit*>()) {
            auto* caption = w->findChild<QLabel*>(edit->objectName() + QStringLiteral("Label"));
            if (!caption)
                continue;
            ++fields;
            QString name = nameOf(edit);
            QString text = caption->text();
            EXPECT_EQ(name.remove(QLatin1Char(' ')), text.remove(QLatin1Char(' ')))
                << edit->objectName().toStdString();
        }
    }
    EXPECT_GT(fields, 10);
}

// A panel or picture used as a button is a button to a screen reader, which can press it.
TEST_F(Accessibility, ClickLabelsArePressableButtons) {
    ClickLabel* panels[] = {UI(window, Panel9), UI(window, Image4), UI(window, Panel8)};
    for (ClickLabel* panel : panels) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(panel);
        ASSERT_NE(iface, nullptr);
        EXPECT_EQ(iface->role(), QAccessible::Button);
        ASSERT_NE(iface->actionInterface(), nullptr);
        // Image4 would open a modal window; count the press without running the handler.
        QObject::disconnect(panel, nullptr, window.get(), nullptr);
        int clicks = 0;
        QObject::connect(panel, &ClickLabel::clicked, [&clicks] { ++clicks; });
        iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        EXPECT_EQ(clicks, 1) << panel->objectName().toStdString();
    }
    EXPECT_EQ(nameOf(UI(window, Panel8)), UI(window, Panel8)->text().simplified());
}

// Space and Enter press a focused button; a greyed one does nothing.
// A screen reader hears the payment grid's four column headers, the corner "No" among them,
// and learns each cell's column header and row number.
TEST_F(Accessibility, PaymentGridNamesEveryHeader) {
    // As with a screen reader running: the grid then tells its table of every change.
    QAccessible::setActive(true);
    const auto inactive = qScopeGuard([] { QAccessible::setActive(false); });
    auto* history = open<TFPaymentList>();
    StringGrid* grid = UI(history, StringGrid1);
    const QStringList row{"1", "2025-01-05 10:00", QStringLiteral("신용카드"), "33000"};
    for (int col = 0; col < row.size(); ++col)
        grid->setCell(col, 1, row[col]);

    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(grid);
    ASSERT_NE(table, nullptr);
    QStringList headers;
    for (int i = 0; i < table->childCount(); ++i) {
        QAccessibleInterface* child = table->child(i);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(table->indexOfChild(child), i);
        if (child->role() == QAccessible::ColumnHeader)
            headers.append(child->text(QAccessible::Name));
    }
    const QStringList shown{"No", QStringLiteral("결재일시"), QStringLiteral("결재방식"),
                            QStringLiteral("결재금액")};
    EXPECT_EQ(headers, shown);

    QAccessibleTableInterface* cells = table->tableInterface();
    ASSERT_NE(cells, nullptr);
    ASSERT_EQ(cells->columnCount(), 4);
    ASSERT_EQ(cells->rowCount(), 1);
    for (int col = 0; col < 4; ++col) {
        SCOPED_TRACE(col);
        EXPECT_EQ(cells->columnDescription(col), shown[col]);
        QAccessibleInterface* cell = cells->cellAt(0, col);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->text(QAccessible::Name), row[col]);
        EXPECT_EQ(cell->role(), col == 0 ? QAccessible::RowHeader : QAccessible::Cell);
        QAccessibleTableCellInterface* place = cell->tableCellInterface();
        ASSERT_NE(place, nullptr);
        ASSERT_EQ(place->columnHeaderCells().size(), 1);
        EXPECT_EQ(place->columnHeaderCells()[0]->text(QAccessible::Name), shown[col]);
        if (col > 0) {
            ASSERT_EQ(place->rowHeaderCells().size(), 1);
            EXPECT_EQ(place->rowHeaderCells()[0]->text(QAccessible::Name), "1");
        }
        // What a pointer finds where the cell is drawn is the cell itself.
        EXPECT_EQ(table->childAt(cell->rect().center().x(), cell->rect().center().y()), cell);
    }
    QAccessibleInterface* corner =
        cells->cellAt(0, 0)->tableCellInterface()->columnHeaderCells()[0];
    EXPECT_EQ(table->childAt(corner->rect().center().x(), corner->rect().center().y()), corner);

    // A cell the grid no longer has says so instead of telling stale text.
    // (The table may have let go of it already, when it heard of the change.)
    const QAccessible::Id gone = QAccessible::uniqueId(cells->cellAt(0, 3));
    grid->setGridRowCount(1);
    QAccessibleInterface* stale = QAccessible::accessibleInterface(gone);
    EXPECT_TRUE(!stale || !stale->isValid());
    EXPECT_EQ(cells->rowCount(), 0);
}

TEST_F(Accessibility, SpaceAndEnterPressAFocusedButton) {
    activate(window.get());
    ClickLabel* reread = UI(window, Panel9);
    QObject::disconnect(reread, nullptr, window.get(), nullptr);
    int clicks = 0;
    QObject::connect(reread, &ClickLabel::clicked, [&clicks] { ++clicks; });
    reread->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(reread->hasFocus());
    for (Qt::Key k : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter})
        key(k);
    EXPECT_EQ(clicks, 3);
    reread->setEnabled(false);
    QTest::keyClick(reread, Qt::Key_Space);
    EXPECT_EQ(clicks, 3);
}

// A click on a button leaves the focus in the drive list, so it does not count as entering
// the list again.
TEST_F(Accessibility, ClickingAButtonKeepsTheFocusWhereItWas) {
    activate(window.get());
    QComboBox* list = UI(window, DriveComboBox1);
    list->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(list->hasFocus());
    state(window).bDrCheck = false;
    QTest::mouseClick(UI(window, Panel9), Qt::LeftButton);
    QTest::mouseClick(UI(window, Image3), Qt::LeftButton);
    EXPECT_TRUE(list->hasFocus());
    EXPECT_FALSE(state(window).bDrCheck);
}

// Log in, pick the card's drive, download, look at the payments and leave, by keyboard only.
TEST_F(Accessibility, KeyboardAloneRunsTheMainFlow) {
    QTemporaryDir driveA;
    QTemporaryDir driveB;
    const QString rootA = driveA.path() + QLatin1Char('/');
    const QString rootB = driveB.path() + QLatin1Char('/');
    writeFile(rootB + "backbbinfo.cfg", kCardFile);
    fake.driveList = {platform::Drive{rootA, "A"}, platform::Drive{rootB, "B [DASHCAM]"}};
    fake.currentRoot = rootA;

    // The login window: ID, Tab, password, Tab to the login button, Enter.
    auto* login = new TFLogin;
    opened.append(login);
    activate(login);
    ASSERT_EQ(focused(), UI(login, LabeledEdit1));
    QTest::keyClicks(focused(), "kim");
    key(Qt::Key_Tab);
    ASSERT_EQ(focused(), UI(login, LabeledEdit2));
    QTest::keyClicks(focused(), "secret12");
    ASSERT_TRUE(tabTo(UI(login, Panel5), 3));
    key(Qt::Key_Return);
    EXPECT_EQ(login->result(), QDialog::Accepted);
    EXPECT_EQ(window->userInfo().UserID, QStringLiteral("kim"));

    // The main window: Tab to the drive list, Down picks the card's drive and reads it.
    activate(window.get());
    ASSERT_TRUE(tabTo(UI(window, DriveComboBox1)));
    key(Qt::Key_Down);
    EXPECT_EQ(UI(window, DriveComboBox1)->currentData().toString(), rootB);
    EXPECT_EQ(UI(window, LabeledEdit5)->text(), QStringLiteral("TESTCAM1"));

    // Tab to 다운로드, Space: the database lands on the card.
    ASSERT_TRUE(tabTo(UI(window, Image2)));
    key(Qt::Key_Space);
    waitForDownload();
    EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(database));

    // 결제내역확인 with Enter opens the history; inside it, Tab to 나가기 and Enter.
    ASSERT_TRUE(tabTo(UI(window, Image4)));
    bool closedByKeyboard = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        QPointer<TFPaymentList> history = FPaymentList;
        if (!history || !history->isActiveWindow())
            return;
        watcher.stop();
        closedByKeyboard = tabTo(UI(history, Panel3));
        if (closedByKeyboard)
            key(Qt::Key_Return);
        if (history && history->isVisible())
            history->close();  // never leave the test stuck in the modal loop
    });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] {
        if (FPaymentList)
            FPaymentList->close();
    });
    watcher.start(10);
    giveUp.start(5000);
    key(Qt::Key_Return);
    EXPECT_TRUE(closedByKeyboard);
    EXPECT_TRUE(server.lastRequest().path == "/mobile/back_c/paylist.json");

    // 프로그램종료 with Space closes the main window.
    QTest::qWait(0);
    activate(window.get());
    ASSERT_TRUE(tabTo(UI(window, Image5)));
    key(Qt::Key_Space);
    EXPECT_FALSE(window->isVisible());
}

}  // namespace
