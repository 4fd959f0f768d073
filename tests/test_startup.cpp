// The login gate: the main window is shown only after an accepted login.
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>
#include <functional>
#include <memory>

#include "account/tflogin.h"
#include "app/startup.h"
#include "platform/codepage.h"
#include "service/addresses.h"
#include "support/app_fixture.h"
#include "support/controls.h"
#include "support/main_window_state.h"
#include "ui_tflogin.h"

namespace {

// The service's answer to a login it accepts.
constexpr const char* kAcceptedLogin =
    R"({"flag":"true","msg":"ok","mInfo_NAME":"M","mInfo_CODE":"378","bInfo_modelName":"X",)"
    R"("bInfo_IDX":"1","payment_Sdate":"a","payment_Edate":"b","sfd_filename":"f",)"
    R"("sfd_filepath":"/p/","sfd_version":"1","bInfo_scdown_directory":"root"})";

// Notes every main window that is shown.
class ShowWatcher : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<TFMain*>(watched))
            mainShown = true;
        return false;
    }
    bool mainShown = false;
};

// Runs action once the login window is up. Timers run while the main window's creation waits
// for the banner answer, before the login window exists.
void atLogin(std::function<void()> action) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, action = std::move(action)] {
        if (!FLogin || !FLogin->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        action();
    });
    poll->start();
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override { qApp->installEventFilter(&watcher); }
    void TearDown() override { qApp->removeEventFilter(&watcher); }
    FakePlatform fake;
    ShowWatcher watcher;
};

TEST_F(Startup, LeavingTheLoginWindowEndsWithoutTheMainWindow) {
    TestServer server;
    server.answer("/mgr/api/call_banner.api", R"({"data":[]})");
    server.start();
    ConfigOverride config(server.host());
    atLogin([] { FLogin->close(); });  // the title bar's close button
    EXPECT_EQ(runProgram(), 0);
    EXPECT_FALSE(watcher.mainShown);
    EXPECT_EQ(FMain, nullptr);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/mgr/api/call_banner.api");
    EXPECT_EQ(server.requests()[0].body, "bidx=4");
}

TEST_F(Startup, FailedBannerRequestShowsOneErrorBeforeTheLoginWindow) {
    ConfigOverride config(QStringLiteral("127.0.0.1:1"));
    bool loginExistedAtBox = true;
    fake.onBox = [&] { loginExistedAtBox = FLogin != nullptr; };
    atLogin([] { FLogin->Panel6Click(); });
    EXPECT_EQ(runProgram(), 0);
    ASSERT_EQ(fake.boxes.size(), 1);
    EXPECT_TRUE(fake.boxes[0].error);
    EXPECT_EQ(fake.boxes[0].caption, "Pelnira 업데이트 매니저 V1.0");
    EXPECT_FALSE(loginExistedAtBox);
    EXPECT_FALSE(watcher.mainShown);
}

TEST_F(Startup, AcceptedLoginShowsTheMainWindowUntilItCloses) {
    TestServer server;
    server.answer("/mobile/back_c/getLogin.json", kAcceptedLogin);
    server.start();
    ConfigOverride config(server.host());
    bool checked = false;
    atLogin([&] {
        UI(FLogin, LabeledEdit1)->setText("user01");
        FLogin->Panel5Click();
        QTimer::singleShot(0, [&] {
            EXPECT_TRUE(FMain->isVisible());
            EXPECT_TRUE(addresses::MainUrl().endsWith("/mobile/"));
            EXPECT_EQ(state(FMain).upCode, 378);
            EXPECT_EQ(state(FMain).sExeDir, fake.exeDir);
            // The record starts zeroed anyway: soil it, so that the creation must clear it.
            state(FMain).bb.Barray.fill(u'7');
            FMain->FormCreate();
            EXPECT_TRUE(std::all_of(state(FMain).bb.Barray.begin(), state(FMain).bb.Barray.end(),
                                    [](char16_t c) { return c == 0; }));
            checked = true;
            FMain->Image5Click();
        });
    });
    EXPECT_EQ(runProgram(), 0);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(watcher.mainShown);
    EXPECT_EQ(FMain, nullptr);
}

// The program's own icon in every title bar and on the taskbar, without a desktop entry to
// name it: the login window, the main window and a box.
TEST_F(Startup, EveryWindowShowsTheProgramsIcon) {
    TestServer server;
    server.answer("/mobile/back_c/getLogin.json", kAcceptedLogin);
    server.start();
    ConfigOverride config(server.host());
    const auto sizeShown = [](const QWidget* window) {
        return window->windowIcon().pixmap(QSize(48, 48)).size();
    };
    QSize login;
    QSize main;
    QSize box;
    atLogin([&] {
        login = sizeShown(FLogin);
        UI(FLogin, LabeledEdit1)->setText("user01");
        FLogin->Panel5Click();
        QTimer::singleShot(0, [&] {
            main = sizeShown(FMain);
            box = sizeShown(std::make_unique<QMessageBox>(FMain).get());
            FMain->Image5Click();
        });
    });
    EXPECT_EQ(runProgram(), 0);
    EXPECT_EQ(login, QSize(48, 48));
    EXPECT_EQ(main, QSize(48, 48));
    EXPECT_EQ(box, QSize(48, 48));
}

// The hidden main window's widgets are polished (style sheet, fonts) once the login window has
// been painted, so that the login window does not wait for them; shown after the login, the
// main window has each caption just left of its field and the log room for three lines.
TEST_F(Startup, MainWindowIsPolishedAfterTheLoginWindowIsPainted) {
    TestServer server;
    server.answer("/mobile/back_c/getLogin.json", kAcceptedLogin);
    server.start();
    ConfigOverride config(server.host());

    struct FirstLoginPaint : QObject {
        bool painted = false;
        bool mainPolished = true;
        std::function<void()> then;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (!painted && event->type() == QEvent::Paint && watched == FLogin) {
                painted = true;
                mainPolished = FMain->testAttribute(Qt::WA_WState_Polished);
                QTimer::singleShot(0, then);
            }
            return false;
        }
    } watch;
    bool checked = false;
    watch.then = [&] {
        UI(FLogin, LabeledEdit1)->setText("user01");
        FLogin->Panel5Click();
        QTimer::singleShot(0, [&] {
            for (const auto& [caption, edit] :
                 {std::pair{UI(FMain, LabeledEdit3Label), UI(FMain, LabeledEdit3)},
                  {UI(FMain, LabeledEdit7Label), UI(FMain, LabeledEdit7)},
                  {UI(FMain, LabeledEdit6Label), UI(FMain, LabeledEdit6)}}) {
                EXPECT_EQ(caption->geometry().right() + 1 + 3, edit->geometry().left())
                    << caption->objectName().toStdString();
                EXPECT_GE(caption->width(), caption->sizeHint().width())
                    << caption->objectName().toStdString();
            }
            const QPlainTextEdit* log = UI(FMain, Memo1);
            EXPECT_GE(log->minimumHeight(), 3 * log->fontMetrics().lineSpacing());
            checked = true;
            FMain->Image5Click();
        });
    };
    qApp->installEventFilter(&watch);
    EXPECT_EQ(runProgram(), 0);
    qApp->removeEventFilter(&watch);
    EXPECT_TRUE(watch.painted);
    EXPECT_FALSE(watch.mainPolished);
    EXPECT_TRUE(checked);
}

TEST_F(Startup, CodePageThatCannotBeOpenedIsSaidOnceAtStart) {
    TestServer server;
    server.answer("/mgr/api/call_banner.api", R"({"data":[]})");
    server.start();
    ConfigOverride config(server.host());
    const char* previous = platform::useAnsiCodePage("NO-SUCH-CODEPAGE");
    atLogin([] { FLogin->close(); });
    runProgram();
    platform::useAnsiCodePage(previous);
    ASSERT_EQ(fake.boxes.size(), 1);
    EXPECT_TRUE(fake.boxes[0].error);
    EXPECT_TRUE(fake.boxes[0].text.contains("NO-SUCH-CODEPAGE"))
        << fake.boxes[0].text.toStdString();
}

// The windows' own pictures are read as what they are. Left to guess a PNG's format, Qt loads
// every image plugin installed (TIFF, WebP, SVG...) to ask each, and start-up waits for them.
TEST_F(Startup, OwnPicturesLoadNoImagePluginButJpeg) {
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "no /proc/self/maps to list the loaded libraries";
    maps.close();
    TestServer server;
    server.answer("/mgr/api/call_banner.api", R"({"data":[]})");
    server.start();
    ConfigOverride config(server.host());
    atLogin([] { FLogin->close(); });
    runProgram();
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    QStringList plugins;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const int at = line.indexOf("/imageformats/");
        if (at >= 0 && !plugins.contains(QString::fromUtf8(line.mid(at + 14))))
            plugins.append(QString::fromUtf8(line.mid(at + 14)));
    }
    for (const QString& plugin : plugins)
        EXPECT_TRUE(plugin.startsWith(QLatin1String("libqjpeg"))) << plugin.toStdString();
}

}  // namespace
