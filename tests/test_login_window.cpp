// The login window: the saved-login file, the login request and its outcomes, the links.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPointer>
#include <filesystem>
#include <system_error>

#include "account/tflogin.h"
#include "platform/codepage.h"
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
    EXPECT_EQ(readAll(fake.loginPath), QByteArray("demo0001\r\npw 1\r\n"));
    EXPECT_TRUE(fake.boxes.isEmpty());
}

TEST_F(LoginWindow, SavedFileIsForTheUserAloneAndInTheAnsiCodePage) {
    open();
    UI(login, LabeledEdit1)->setText("한글id");
    UI(login, LabeledEdit2)->setText("secret");
    UI(login, CheckBox1)->setChecked(true);
    login->Panel5Click();
    ASSERT_TRUE(accepted());
    EXPECT_EQ(readAll(fake.loginPath), platform::toAnsi("한글id") + "\r\nsecret\r\n");
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
