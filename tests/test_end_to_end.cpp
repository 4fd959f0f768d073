// The real stand-in service as its own process, the program's windows driven in this one:
// log in, read a card, download the database onto it, list payments, sign up and log in anew.
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "account/tflogin.h"
#include "account/tfmember.h"
#include "app/tfmain.h"
#include "app/widgets.h"
#include "banner/banner_picture.h"
#include "base/extra_authority.h"
#include "base/http_transfer.h"
#include "payments/tfpaymentlist.h"
#include "platform/text_file.h"
#include "service/config.h"
#include "support/controls.h"
#include "support/fake_platform.h"
#include "support/main_window_state.h"
#include "support/test_certificates.h"
#include "support/test_server.h"
#include "ui_tflogin.h"
#include "ui_tfmain.h"
#include "ui_tfmember.h"
#include "ui_tfpaymentlist.h"

namespace {

// The card as the dashcam leaves it: serial "QZ24001TESTCAM1_0042", its date and version.
const QByteArray kCardLine1 =
    "515A32343030315445535443414D315F30303432000000000000000000000000000000000000000000000000000000"
    "000000"
    "3230323430313035312E300000000000";
const QByteArray kCardRest = "29.7GB\r\nTESTCAM1\r\nSW 1.0.3\r\nFW 2.1.0\r\n";

void writeFile(const QString& path, const std::string& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// As scripts/run starts it: HTTP and HTTPS on one port, its certificate issued by an authority
// the program trusts beside the system's.
class StandIn {
  public:
    StandIn(const QString& folder, const test_certificates::Identity& identity)
        : db_(folder + "/standin.db") {
        writeFile(folder + "/server.pem", identity.certificatePem);
        writeFile(folder + "/server.key", identity.keyPem);
        process_.setProgram(QStringLiteral(DRIVORO_STANDIN_EXE));
        process_.setArguments({"serve", "--db", db_, "--port", "0", "--tls-cert",
                               folder + "/server.pem", "--tls-key", folder + "/server.key"});
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start();
        // Seeding a new database hashes passwords, which takes a moment.
        while (process_.waitForReadyRead(20000)) {
            const QString line = QString::fromUtf8(process_.readLine()).trimmed();
            if (line.startsWith("listening on ")) {
                host_ = line.mid(13);
                break;
            }
        }
    }
    ~StandIn() {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
    }
    const QString& host() const { return host_; }
    QString downloads() {
        QProcess list;
        list.start(QStringLiteral(DRIVORO_STANDIN_EXE), {"downloads", "--db", db_});
        list.waitForFinished(20000);
        return QString::fromUtf8(list.readAllStandardOutput());
    }

  private:
    QString db_;
    QProcess process_;
    QString host_;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid() && card.isValid());
        extra_authority::set(QByteArray::fromStdString(authority.certificatePem()));
        standin = std::make_unique<StandIn>(folder.path(), authority.issue({"127.0.0.1"}));
        ASSERT_FALSE(standin->host().isEmpty()) << "the stand-in did not start";
        config = std::make_unique<ConfigOverride>(standin->host());
        QFile cfg(card.path() + "/backbbinfo.cfg");
        ASSERT_TRUE(cfg.open(QIODevice::WriteOnly));
        cfg.write(kCardLine1 + "\r\n" + kCardRest);
        cfg.close();
        fake.driveList = {platform::Drive{card.path() + "/", card.path() + " [DASHCAM]"}};
        fake.currentRoot = card.path() + "/";
    }
    void TearDown() override {
        delete FMember;
        delete FPaymentList;
        delete FLogin;
        mainWindow.reset();
        config.reset();
        standin.reset();
        extra_authority::set({});
    }

    // A login window as at start-up; true when the service accepted the login.
    bool logIn(const QString& id, const QString& password) {
        QPointer<TFLogin> login = new TFLogin;
        UI(login, LabeledEdit1)->setText(id);
        UI(login, LabeledEdit2)->setText(password);
        login->Panel5Click();
        const bool accepted = login && login->result() == QDialog::Accepted;
        delete login.data();
        return accepted;
    }

    QByteArray fetch(const QString& url) {
        return httpExchange(HttpRequest{url, false, {}, {}}).body;
    }

    QByteArray cardFile(const QString& name) {
        QFile f(card.path() + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    FakePlatform fake;
    const test_certificates::Authority authority{"Drivoro end-to-end authority"};
    QTemporaryDir folder;
    QTemporaryDir card;  // stands in for the SD card's volume
    std::unique_ptr<StandIn> standin;
    std::unique_ptr<ConfigOverride> config;
    std::unique_ptr<TFMain> mainWindow;
};

TEST_F(EndToEnd, LogInDownloadListPaymentsSignUpAndLogInAgain) {
    mainWindow = std::make_unique<TFMain>();
    EXPECT_TRUE(fake.errorTexts().isEmpty()) << fake.errorTexts().join("|").toStdString();
    // The stand-in's banner picture came over HTTPS and shows in the strip.
    const QByteArray banner =
        fetch("https://" + standin->host() + "/upload/banner/drivoro_banner.jpg");
    ASSERT_GT(banner.size(), 1000);
    QFile bannerFile(fake.cacheDir + "a.jpg");
    ASSERT_TRUE(bannerFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(bannerFile.readAll() == banner) << "a.jpg is not the served banner";
    const QImage builtIn = QImage(":/pictures/banner.png").convertToFormat(QImage::Format_RGB32);
    const QImage shown =
        UI(mainWindow.get(), Image8)->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown.size(), QSize(566, 111));
    EXPECT_NE(shown, builtIn) << "the strip shows its built-in picture";

    ASSERT_TRUE(logIn("demo0001", "drivoro1234"));
    TFMain& w = *mainWindow;
    EXPECT_EQ(UI(&w, LabeledEdit3)->text(), "MORVEL");
    EXPECT_EQ(UI(&w, LabeledEdit4)->text(), "TESTCAM1");
    EXPECT_EQ(UI(&w, LabeledEdit7)->text(), "2.5");

    // Showing the window fills the drive list and reads the card of the current volume.
    w.show();
    EXPECT_EQ(UI(&w, LabeledEdit5)->text(), "TESTCAM1");
    EXPECT_EQ(UI(&w, LabeledEdit6)->text(), "0000000000");
    ASSERT_TRUE(UI(&w, Image2)->isEnabled());

    w.Image2Click();
    waitForDownload(w);
    const QByteArray served =
        fetch("http://" + standin->host() + state(w).UserInfo.Path + state(w).UserInfo.FileName);
    ASSERT_GT(served.size(), 1024 * 1024);
    EXPECT_TRUE(cardFile("rp_cam.idb") == served)
        << "the card's database differs from the served file";
    // Line 1 keeps its first 100 digits and records today's date and the version.
    EXPECT_EQ(cardFile("backbbinfo.cfg"), kCardLine1.left(100) + "3230323530333134" +
                                              "322E350000000000" + "\r\n" + kCardRest +
                                              "29.7GB\r\n");
    EXPECT_TRUE(fake.errorTexts().isEmpty()) << fake.errorTexts().join("|").toStdString();
    const QString recorded = standin->downloads();
    EXPECT_TRUE(recorded.contains("demo0001") && recorded.contains("TESTCAM1") &&
                recorded.contains("0000000000"))
        << recorded.toStdString();

    // The payment history of the demo member.
    new TFPaymentList(mainWindow.get());
    ASSERT_TRUE(FPaymentList);
    const StringGrid* grid = UI(FPaymentList, StringGrid1);
    ASSERT_EQ(grid->gridRowCount(), 6);
    EXPECT_EQ(grid->cell(0, 1), "1");
    QStringList methods;
    for (int row = 1; row < grid->gridRowCount(); ++row)
        methods.append(grid->cell(2, row));
    EXPECT_TRUE(methods.contains("신용카드") && methods.contains("실시간계좌이체") &&
                methods.contains("가상계좌"))
        << methods.join(",").toStdString();
    FPaymentList->show();
    FPaymentList->Panel3Click();
    EXPECT_EQ(FPaymentList, nullptr);

    // A new member signs up with the second model, then logs in with the new account.
    auto* login = new TFLogin;
    new TFMember(login);
    ASSERT_TRUE(FMember);
    TFMember* m = FMember;
    ASSERT_GE(UI(m, ComboBox2)->count(), 2);
    UI(m, LabeledEdit4)->setText("newdriver01");
    FMember->Panel2Click();
    EXPECT_TRUE(state(w).UserInfo.idCheck);
    UI(m, LabeledEdit5)->setText("newpass123");
    UI(m, LabeledEdit6)->setText("newpass123");
    UI(m, LabeledEdit1)->setText("1990-03-30");
    UI(m, ComboBox2)->setCurrentIndex(1);
    const QString model = UI(m, ComboBox2)->currentText();
    UI(m, CheckBox1)->setChecked(true);
    FMember->Panel8Click();
    EXPECT_EQ(fake.messageTexts(), (QStringList{"사용가능한  아이디 입니다. ",
                                                "회원 가입되었습니다. 로그인후 사용하세요. "}));
    EXPECT_TRUE(UI(m, Memo1)->toPlainText().startsWith(
        QStringLiteral("[09:30:15] newdriver01 님 회원가입이 되었습니다")));
    FMember->Panel9Click();
    EXPECT_EQ(FMember, nullptr);
    delete login;

    ASSERT_TRUE(logIn("newdriver01", "newpass123"));
    EXPECT_EQ(state(w).UserInfo.UserID, "newdriver01");
    EXPECT_EQ(state(w).UserInfo.bb_Model_Name, model);
    EXPECT_FALSE(logIn("newdriver01", "wrong-password"));
}

}  // namespace
