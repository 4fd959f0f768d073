// The login window: the saved-login file, the login request and its outcomes, the links.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPointer>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "account/saved_login.h"
#include "account/tflogin.h"
#include "platform/codepage.h"
#include "platform/secret.h"
#include "support/app_fixture.h"
#include "support/controls.h"
#include "support/files.h"
#include "support/main_window_state.h"
#include "ui_tflogin.h"

namespace {

const char* kAccepted =
    R"({"flag":"true","msg":"ok","mInfo_NAME":"MORVEL","mInfo_CODE":"378","bInfo_modelName":"TESTCAM1",)"
    R"("bInfo_IDX":"7","payment_Sdate":"2025-01-05","payment_Edate":"2026-01-04","sfd_filename":"f",)"
    R"("sfd_filepath":"/p/","sfd_version":"2.5","bInfo_scdown_directory":"root"})";

class LoginWindow : public AppFixture {
  protected:
    void setUpServer(TestServer& s) override {
        s.http().Post("/mobile/back_c/getLogin.json",
                      [this](const httplib::Request& req, httplib::Response& res) {
                          server.record(req);
                          const bool accept = refusalsLeft == 0;
                          if (refusalsLeft > 0)
                              --refusalsLeft;
                          res.set_content(accept ? kAccepted : R"({"flag":"false","msg":"no"})",
                                          "application/json");
                      });
    }
    void TearDown() override {
        delete login.data();
        AppFixture::TearDown();
    }
    TFLogin* open() {
        login = new TFLogin;
        return login;
    }
    bool accepted() const { return login && login->result() == QDialog::Accepted; }
    void logInTicked(const QString& id, const QString& password) {
        open();
        UI(login, LabeledEdit1)->setText(id);
        UI(login, LabeledEdit2)->setText(password);
        UI(login, CheckBox1)->setChecked(true);
        login->Panel5Click();
        ASSERT_TRUE(accepted());
    }
    // The saved file: the ID line as bytes, and the password line, which Windows protects for
    // the user and other systems keep as typed in a file of the user's alone.
    void expectSaved(const QByteArray& idLine, const QString& password) {
        const QList<QByteArray> raw = readAll(fake.loginPath).split('\n');
        ASSERT_EQ(raw.size(), 3) << readAll(fake.loginPath).toStdString();
        EXPECT_EQ(raw[0], idLine + "\r");
#ifdef _WIN32
        EXPECT_TRUE(
            raw[1].startsWith("\x01"
                              "DPAPI:"))
            << raw[1].toStdString();
        EXPECT_FALSE(raw[1].contains(password.toUtf8()));
#else
        EXPECT_EQ(raw[1], password.toUtf8() + "\r");
#endif
        EXPECT_EQ(raw[2], "");
        const std::optional<QStringList> lines = saved_login::read(fake.loginPath);
        ASSERT_TRUE(lines && lines->size() == 2);
        EXPECT_EQ(lines->at(1), password);
    }

    std::atomic<int> refusalsLeft{0};
    QPointer<TFLogin> login;
};

struct SavedFileCase {
    const char* name;
    QByteArray bytes;
    QString id;
    QString password;
    bool ticked;
};

class SavedLoginFile : public LoginWindow, public ::testing::WithParamInterface<SavedFileCase> {};

TEST_P(SavedLoginFile, FillsTheFieldsItHasLinesFor) {
    const SavedFileCase& c = GetParam();
    writeFile(fake.loginPath, c.bytes);
    open();
    EXPECT_EQ(UI(login, LabeledEdit1)->text(), c.id);
    EXPECT_EQ(UI(login, LabeledEdit2)->text(), c.password);
    EXPECT_EQ(UI(login, CheckBox1)->isChecked(), c.ticked);
    EXPECT_TRUE(fake.boxes.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SavedLoginFile,
    ::testing::Values(
        SavedFileCase{"TwoLinesCrLf", "user01\r\npass01\r\n", "user01", "pass01", true},
        SavedFileCase{"TwoLinesLf", "user01\npass01", "user01", "pass01", true},
        SavedFileCase{"TwoLinesCr", "user01\rpass01\r", "user01", "pass01", true},
        SavedFileCase{"ExtraLinesIgnored", "a\r\nb\r\nc\r\n", "a", "b", true},
        SavedFileCase{"OneLine", "user01\r\n", "user01", "", false},
        SavedFileCase{"Empty", "", "", "", false},
        SavedFileCase{"EmptyFirstLine", "\r\npw\r\n", "", "pw", true},
        SavedFileCase{"Utf8Bom", "\xEF\xBB\xBFuser\xED\x95\x9C\r\npw\r\n", "user한", "pw", true},
        SavedFileCase{"Utf16LeBom", QByteArray("\xFF\xFEu\0s\0\r\0\n\0p\0w\0", 14), "us", "pw",
                      true},
        SavedFileCase{"Utf16BeBom", QByteArray("\xFE\xFF\0u\0s\0\n\0p\0w", 12), "us", "pw", true},
        SavedFileCase{"AnsiCodePage", "\xC7\xD1\xB1\xDB\r\npw\r\n", "한글", "pw", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoginWindow, NoFileLeavesFieldsEmpty) {
    open();
    EXPECT_EQ(UI(login, LabeledEdit1)->text(), "");
    EXPECT_FALSE(UI(login, CheckBox1)->isChecked());
}

TEST_F(LoginWindow, TrimmedRequestUntrimmedAccountAndSavedFile) {
    open();
    UI(login, LabeledEdit1)->setText(" demo0001 ");
    UI(login, LabeledEdit2)->setText("pw 1\t");
    UI(login, CheckBox1)->setChecked(true);
    login->Panel5Click();
    EXPECT_EQ(server.lastRequest().body, "mem_ID=demo0001&mem_pw=pw+1");
    EXPECT_TRUE(accepted());
    EXPECT_EQ(state(window).UserInfo.UserID, " demo0001 ");
    EXPECT_EQ(state(window).UserInfo.UserPw, "pw 1\t");
    EXPECT_EQ(UI(window, Label1)->text(), " demo0001  님 로그인 하셨습니다");
    expectSaved("demo0001", "pw 1");
    EXPECT_TRUE(fake.boxes.isEmpty());
}

TEST_F(LoginWindow, SavedFileIsForTheUserAloneAndInTheAnsiCodePage) {
    open();
    UI(login, LabeledEdit1)->setText("한글id");
    UI(login, LabeledEdit2)->setText("secret");
    UI(login, CheckBox1)->setChecked(true);
    login->Panel5Click();
    ASSERT_TRUE(accepted());
    expectSaved(platform::toAnsi("한글id"), "secret");
    const QString folder = QFileInfo(fake.loginPath).absolutePath();
#ifndef _WIN32
    // On Windows the access list does this; test_windows_platform checks it.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    EXPECT_EQ(QFile::permissions(fake.loginPath) & others, QFileDevice::Permissions());
    EXPECT_EQ(QFile::permissions(folder) & others, QFileDevice::Permissions());
#endif
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"tindrakhid.ini"});
}

// A link put at the file's place is neither read nor written through: the save replaces the
// link itself, and the file it pointed to stays as it was.
TEST_F(LoginWindow, LinkAtTheSavedFileIsNeverFollowed) {
    const QString folder = QFileInfo(fake.loginPath).absolutePath();
    const QString elsewhere = QDir::cleanPath(folder + "/../other.txt");
    ASSERT_TRUE(QDir().mkpath(folder));
    writeFile(elsewhere, "victim\r\nhunter2\r\n");
    // Not QFile::link: on Windows that makes a shell shortcut, a plain file.
    std::error_code error;
    std::filesystem::create_symlink(elsewhere.toStdWString(), fake.loginPath.toStdWString(), error);
    if (error)
        GTEST_SKIP() << "this system lets the user make no symbolic link: " << error.message();
    open();
    EXPECT_EQ(UI(login, LabeledEdit1)->text(), "");
    EXPECT_EQ(UI(login, LabeledEdit2)->text(), "");
    EXPECT_FALSE(UI(login, CheckBox1)->isChecked());
    EXPECT_TRUE(fake.boxes.isEmpty());

    UI(login, LabeledEdit1)->setText("user01");
    UI(login, LabeledEdit2)->setText("secret");
    UI(login, CheckBox1)->setChecked(true);
    login->Panel5Click();
    ASSERT_TRUE(accepted());
    EXPECT_FALSE(QFileInfo(fake.loginPath).isSymLink());
    EXPECT_EQ(readAll(fake.loginPath), QByteArray("user01\r\nsecret\r\n"));
    EXPECT_EQ(readAll(elsewhere), QByteArray("victim\r\nhunter2\r\n"));
}

// A folder left open to others by an earlier version or by hand is closed on the next save.
TEST_F(LoginWindow, SavingTightensAnOpenFolderOfTheUsers) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX rights: on Windows the file carries an access list of its own";
#endif
    const QString folder = QFileInfo(fake.loginPath).absolutePath();
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                  QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                  QFileDevice::ExeOther));
    open();
    UI(login, LabeledEdit1)->setText("user01");
    UI(login, CheckBox1)->setChecked(true);
    login->Panel5Click();
    ASSERT_TRUE(accepted());
    EXPECT_EQ(QFile::permissions(folder) &
                  ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST_F(LoginWindow, UntickedLeavesAnOldFileInPlace) {
    writeFile(fake.loginPath, "old\r\nold\r\n");
    open();
    UI(login, LabeledEdit1)->setText("new");
    UI(login, CheckBox1)->setChecked(false);
    login->Panel5Click();
    EXPECT_TRUE(accepted());
    EXPECT_EQ(readAll(fake.loginPath), QByteArray("old\r\nold\r\n"));
}

// Nothing of the saved login is made until a login is saved: asking for its place, opening
// the window or logging in unticked leaves no folder behind.
TEST_F(LoginWindow, NothingIsCreatedUntilALoginIsSaved) {
    fake.loginPath = QDir(fake.exeDir).filePath("config/MORVEL_Drivoro/tindrakhid.ini");
    const QString folder = QFileInfo(fake.loginPath).absolutePath();
    open();
    UI(login, LabeledEdit1)->setText("demo0001");
    login->Panel5Click();
    ASSERT_TRUE(accepted());
    EXPECT_FALSE(QFileInfo::exists(folder));
    logInTicked("demo0001", "pw");
    EXPECT_TRUE(QFileInfo(fake.loginPath).isFile());
}

// An earlier version kept one file for the whole PC, readable by every user: it is read only
// while the user has no file of their own (the platform offers it only when the user owns it),
// and goes after the user's next accepted login, ticked or not. Unticked, what it held moves
// into the user's own file first, so that the next start fills the fields as before.
TEST_F(LoginWindow, FormerMachineWideFileMovesIntoTheUsersOwnAndGoes) {
    struct Case {
        const char* name;
        QByteArray former;
        QByteArray own;  // the user's own file beforehand; empty: none
        bool ticked;
        QString savedId;  // then in the user's own file
        std::optional<QString> savedPassword;
    };
    for (const Case& c : {
             Case{"unticked, no own file", "olduser\r\noldpw\r\n", "", false, "olduser", "oldpw"},
             Case{"unticked, an ID alone", "olduser\r\n", "", false, "olduser", std::nullopt},
             Case{"unticked, own file kept", "olduser\r\noldpw\r\n", "mine\r\nmypw\r\n", false,
                  "mine", "mypw"},
             Case{"ticked", "olduser\r\noldpw\r\n", "", true, "typed", "typedpw"},
         }) {
        SCOPED_TRACE(c.name);
        fake.formerLoginPath = QDir(fake.exeDir).filePath("ProgramData/tindrakhid.ini");
        writeFile(fake.formerLoginPath, c.former);
        QFile::remove(fake.loginPath);
        if (!c.own.isEmpty())
            writeFile(fake.loginPath, c.own);
        open();
        if (c.own.isEmpty()) {
            EXPECT_EQ(UI(login, LabeledEdit1)->text(), "olduser");
        }
        UI(login, LabeledEdit1)->setText("typed");
        UI(login, LabeledEdit2)->setText("typedpw");
        UI(login, CheckBox1)->setChecked(c.ticked);
        login->Panel5Click();
        ASSERT_TRUE(accepted());
        delete login.data();
        EXPECT_FALSE(QFileInfo::exists(fake.formerLoginPath));
        const std::optional<QStringList> lines = saved_login::read(fake.loginPath);
        ASSERT_TRUE(lines);
        EXPECT_EQ(lines->value(0), c.savedId);
        EXPECT_EQ(lines->size() >= 2 ? std::optional<QString>(lines->at(1)) : std::nullopt,
                  c.savedPassword);
#ifdef _WIN32
        if (c.savedPassword && c.own.isEmpty()) {
            // Written by the program: protected for the user.
            EXPECT_FALSE(readAll(fake.loginPath).contains(c.savedPassword->toUtf8()));
        }
#endif
        // The next start, with the earlier file gone, fills the fields as before.
        fake.formerLoginPath.clear();
        open();
        EXPECT_EQ(UI(login, LabeledEdit1)->text(), c.savedId);
        EXPECT_EQ(UI(login, CheckBox1)->isChecked(), c.savedPassword.has_value());
        delete login.data();
    }
}

// A move that cannot be written (the user's folder cannot be made) leaves the earlier file for
// the next login; the login itself goes through.
TEST_F(LoginWindow, FormerFileStaysWhenItCannotMove) {
    fake.formerLoginPath = QDir(fake.exeDir).filePath("ProgramData/tindrakhid.ini");
    writeFile(fake.formerLoginPath, "olduser\r\noldpw\r\n");
    // A file where the user's folder would go.
    const QString blocker = QDir(fake.exeDir).filePath("blocked");
    writeFile(blocker, "x");
    fake.loginPath = blocker + "/MORVEL_Drivoro/tindrakhid.ini";
    open();
    UI(login, CheckBox1)->setChecked(false);
    login->Panel5Click();
    EXPECT_TRUE(accepted());
    EXPECT_EQ(readAll(fake.formerLoginPath), QByteArray("olduser\r\noldpw\r\n"));
}

// The system's protection standing in for a test, and the system's own back afterwards.
class SecretProtectionOverride {
  public:
    explicit SecretProtectionOverride(platform::SecretProtection protection) {
        platform::setSecretProtection(std::move(protection));
    }
    ~SecretProtectionOverride() { platform::setSecretProtection({}); }
};

std::optional<QByteArray> failingProtection(const QByteArray&) {
    return std::nullopt;
}

// A password that the system's protection fails to protect is never saved in clear: the ID
// alone is, nothing is said, and the next start fills the ID with the box unticked.
TEST_F(LoginWindow, PasswordTheSystemCannotProtectIsNotSaved) {
    writeFile(fake.loginPath, "old\r\nold password\r\n");
    // The lines a login logs, newest first.
    const auto loggedBy = [this](const std::function<void()>& logIn) {
        const qsizetype before = logLines().size();
        logIn();
        return logLines().mid(0, logLines().size() - before);
    };
    const QStringList logged = loggedBy([this] {
        const SecretProtectionOverride failing(failingProtection);
        logInTicked(" user01 ", "hunter2");
    });
    EXPECT_EQ(readAll(fake.loginPath), QByteArray("user01\r\n"));
    EXPECT_TRUE(fake.boxes.isEmpty());
    delete login.data();
    open();
    EXPECT_EQ(UI(login, LabeledEdit1)->text(), "user01");
    EXPECT_EQ(UI(login, LabeledEdit2)->text(), "");
    EXPECT_FALSE(UI(login, CheckBox1)->isChecked());
    delete login.data();
    // The same lines as a login whose password is saved.
    EXPECT_EQ(logged, loggedBy([this] { logInTicked(" user01 ", "hunter2"); }));
}

// Text the code page cannot hold would be saved as "?" or a look-alike and no longer match:
// such a file is UTF-8 with a byte-order mark, which the reader knows.
TEST_F(LoginWindow, LoginOutsideTheCodePageRoundTrips) {
    struct Case {
        QString id;
        QString password;
        bool markedEverywhere;  // Windows saves the password protected, in ASCII
    };
    for (const Case& c : {Case{"driver🚗", "pw", true}, Case{"kim", "pässwörd✓🔑", false}}) {
        logInTicked(c.id, c.password);
#ifdef _WIN32
        const bool marked = c.markedEverywhere;
#else
        const bool marked = true;
#endif
        EXPECT_EQ(readAll(fake.loginPath).startsWith("\xEF\xBB\xBF"), marked) << c.id.toStdString();
        delete login.data();
        open();
        EXPECT_EQ(UI(login, LabeledEdit1)->text(), c.id);
        EXPECT_EQ(UI(login, LabeledEdit2)->text(), c.password);
        delete login.data();
    }
}

// A protected line reads back only through the protection; a plain line of an earlier version
// reads as it stands; a marked line that is not the user's gives no password at all.
TEST(SavedSecret, ProtectedPlainAndForeignLines) {
    for (const QString& secret : {QString("pw 1"), QString("한글비번"), QString("DPAPI:x")}) {
        const QString line = platform::protectSecret(secret).value_or("<not saved>");
        EXPECT_EQ(platform::unprotectSecret(line), secret);
#ifdef _WIN32
        EXPECT_TRUE(
            line.startsWith(QStringLiteral("\x01"
                                           "DPAPI:")));
        EXPECT_FALSE(line.contains(secret));
#endif
    }
    // A protection that fails gives no line at all, on every system.
    {
        const SecretProtectionOverride failing(failingProtection);
        EXPECT_EQ(platform::protectSecret("pw 1"), std::nullopt);
    }
    EXPECT_EQ(platform::unprotectSecret("plain old"), "plain old");
    EXPECT_EQ(platform::unprotectSecret(QStringLiteral("\x01"
                                                       "DPAPI:AAAA")),
              "");
    EXPECT_EQ(platform::unprotectSecret(QStringLiteral("\x01"
                                                       "DPAPI:not base64!")),
              "");
}

TEST_F(LoginWindow, EmptyFieldsAreStillSent) {
    open();
    login->Panel5Click();
    EXPECT_EQ(server.lastRequest().body, "mem_ID=&mem_pw=");
}

TEST_F(LoginWindow, RefusedThreeTimesThenAccepted) {
    refusalsLeft = 3;
    open();
    UI(login, LabeledEdit1)->setText("user01");
    for (int i = 0; i < 3; ++i) {
        login->Panel5Click();
        EXPECT_FALSE(accepted());
        EXPECT_EQ(UI(window, Label1)->text(), " 로그인을 하세요 ");
        EXPECT_EQ(UI(login, LabeledEdit1)->text(), "user01");
    }
    EXPECT_EQ(fake.messageTexts(), QStringList(3, "아이디 , 패스워드를 확인하세요 "));
    for (const auto& box : fake.boxes)
        EXPECT_EQ(box.caption, "DrivoroV3 - 후면단속  업데이트 매니저 V1.4");
    login->Panel5Click();
    EXPECT_TRUE(accepted());
    EXPECT_EQ(fake.boxes.size(), 3);
}

TEST_F(LoginWindow, WriteFailureKeepsTheWindowOpenWithoutShowingThePassword) {
    // A file where the folder should be: neither the folder nor the file can be made.
    writeFile(QFileInfo(fake.loginPath).absolutePath(), "in the way");
    open();
    UI(login, LabeledEdit1)->setText("user01");
    UI(login, LabeledEdit2)->setText("s3cret-pw");
    UI(login, CheckBox1)->setChecked(true);
    UI(login, Panel5)->clicked();  // through the guard, as a real click
    ASSERT_EQ(fake.errorTexts().size(), 1);
    EXPECT_FALSE(fake.errorTexts().front().contains("s3cret-pw"));
    // The reason in the program's language.
    EXPECT_TRUE(fake.errorTexts().front().endsWith("폴더를 만들 수 없습니다."))
        << fake.errorTexts().front().toStdString();
    EXPECT_FALSE(accepted());
    EXPECT_EQ(state(window).UserInfo.UserID, "user01");
    EXPECT_EQ(UI(window, Label1)->text(), "user01 님 로그인 하셨습니다");

    UI(login, CheckBox1)->setChecked(false);
    UI(login, Panel5)->clicked();
    EXPECT_TRUE(accepted());
}

TEST_F(LoginWindow, TransportFailureShowsErrorAndKeepsLabel) {
    open();
    Config::instance().serviceHost = "127.0.0.1:1";
    UI(window, Label1)->setText("before");
    UI(login, Panel5)->clicked();
    EXPECT_EQ(fake.errorTexts().size(), 1);
    EXPECT_EQ(UI(window, Label1)->text(), "before");
    EXPECT_FALSE(accepted());
}

TEST_F(LoginWindow, ExitAndLinks) {
    open();
    login->Panel2Click();
    login->Image2Click();
    EXPECT_EQ(fake.openedUrls,
              (QStringList{"http://" + server.host(),
                           "https://" + server.host() + "/mobile/pages/lumvik_manual"}));
    login->Panel6Click();
    EXPECT_EQ(login->result(), QDialog::Rejected);
    EXPECT_EQ(FLogin, nullptr);
}

// Only the exit button and the title bar's close leave the window; Esc does nothing.
TEST_F(LoginWindow, EscapeDoesNotLeaveTheWindow) {
    open();
    login->show();
    UI(login, LabeledEdit1)->setFocus();
    for (QWidget* target :
         {static_cast<QWidget*>(UI(login, LabeledEdit1)), static_cast<QWidget*>(login.data())}) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QApplication::processEvents();
        ASSERT_NE(FLogin, nullptr);
        EXPECT_TRUE(login->isVisible());
    }
    login->close();
    EXPECT_EQ(login.data() ? login->result() : QDialog::Rejected, QDialog::Rejected);
    EXPECT_EQ(FLogin, nullptr);
}

}  // namespace
