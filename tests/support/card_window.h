#pragma once

// The card in the main window against temporary folders standing in for drives and a real
// HTTP server: the fixture the card tests share.
#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>
#endif
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <mutex>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#include "app/widgets.h"
#include "card/card_info.h"
#include "service/config.h"
#include "support/app_fixture.h"
#include "support/card_example.h"
#include "support/controls.h"
#include "support/files.h"
#include "support/gate.h"
#include "support/main_window_state.h"
#include "support/raw_server.h"

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

// Lines 2-5 as the dashcam wrote them; bytes CP949 cannot decode are among them.
const QByteArray kCardFile =
    kExampleLine.toLatin1() + "\r\nSPACE\r\n\xB0\xA1 MODEL\r\nSW\x80\xFF\r\nFW 3.4\r\n";
const QByteArray kOldDatabase = "the database the card holds now";
const QString kFailed = QStringLiteral("파일이 다운로드 되지 않았습니다.");
const QString kDone = QStringLiteral("파일이 다운로드 되었습니다");
// After a download the card is flushed; the fake's flush leaves it marked in use.
const QString kEject = platform::ejectAdvice(platform::thisSystem());
const QString kNoCard = QStringLiteral("블랙박스 SD메모리카드가 없습니다.");
const QString kNotRecognised = QStringLiteral("블랙박스 SD메모리카드가 인식되지 않았습니다 ");
const QString kInsert = QStringLiteral("블랙박스 SD메모리카드가 꽂아 주세요");
const QString kRemoved = QStringLiteral("블랙박스 SD메모리카드가 제거되었습니다");
// A call on the card that has not returned in time, while nothing on the card has changed:
// taking it out may help.
inline QString stallLine(const QString& drive) {
    return QStringLiteral(
               "SD카드(%1)가 응답하지 않습니다. SD카드와 카드 리더기를 확인하거나, SD카드를 "
               "뺐다가 다시 꽂아 주세요")
        .arg(drive);
}
// The same while the new database is being put in place: taking it out would not help.
inline QString writingStallLine(const QString& drive) {
    return QStringLiteral(
               "SD카드(%1)가 새 데이터베이스를 쓰는 중에 응답하지 않습니다. SD카드를 빼지 말고 "
               "기다려 주세요. 계속 응답이 없으면 프로그램을 끝낸 뒤 SD카드를 다시 꽂고 "
               "다운로드를 다시 눌러 주세요")
        .arg(drive);
}
// The card the fixture's tests download onto, as the drive list names it.
const QString kCardDrive = QStringLiteral("B [DASHCAM]");
// What a read logs after the path of the example card, whose version 1.0 the account offers.
const QString kCardCurrent =
    QStringLiteral("SD카드의 데이터베이스: 버전 1.0 (2024-01-05 업데이트), 최신 버전입니다");

// A card path as the log shows it: with the system's separators (backslashes on Windows).
QString shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

std::string answerJson(const char* flag, const char* path = "/files/v2/", const char* dir = "root",
                       const char* msg = "최신 DB를 내려받습니다") {
    return std::string(R"({"flag":")") + flag + R"(","sfd_filename":"rp_v2.idb","sfd_filepath":")" +
           path + R"(","sfd_version":"2.5","bInfo_scdown_directory":")" + dir + R"(","msg":")" +
           msg + R"("})";
}

// The service, the IP-echo service and the file host, all on the test server.
class CardWindow : public AppFixture {
  protected:
    void setUpServer(TestServer& s) override {
        s.http().Post("/mobile/back_c/sdcard_down.json",
                      [this](const httplib::Request& req, httplib::Response& res) {
                          server.record(req);
                          std::lock_guard<std::mutex> lock(mutex);
                          res.status = answerStatus;
                          res.set_content(answer, "application/json; charset=utf-8");
                      });
        s.http().Get("/json", [this](const httplib::Request& req, httplib::Response& res) {
            server.record(req);
            std::lock_guard<std::mutex> lock(mutex);
            res.status = echoStatus;
            res.set_content(echo, "application/json");
        });
        s.http().Get(R"(/files/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
            server.record(req);
            std::lock_guard<std::mutex> lock(mutex);
            if (req.path != filePath) {
                res.status = 404;
                return;
            }
            if (whileServing)
                whileServing();
            res.set_content(database, "application/octet-stream");
        });
    }

    void SetUp() override {
        AppFixture::SetUp();
        state(window).UserInfo.UserID = QStringLiteral("kim");
        state(window).UserInfo.bb_Model_Name = QStringLiteral("QZ24001");
        state(window).UserInfo.FileName = QStringLiteral("rp_v1.idb");
        state(window).UserInfo.Path = QStringLiteral("/files/v1/");
        state(window).UserInfo.Version = QStringLiteral("1.0");
        state(window).UserInfo.DownDir = QStringLiteral("root");
        rootA = driveA.path() + QLatin1Char('/');
        rootB = driveB.path() + QLatin1Char('/');
        // A card that answers is shown before the window goes on, however slow the machine
        // (Wine, a loaded CI); the tests of cards that stop answering wait as the program does.
        state(window).cards.grace = std::chrono::seconds{10};
    }

    // Handles events until done or ms have passed; the longest the window went without
    // handling a tick of a 50 ms timer meanwhile is kept in longestGap.
    bool answerUntil(const std::function<bool()>& done, int ms = 10000) {
        QTimer ticks;
        QElapsedTimer since;
        since.start();
        ticks.setInterval(50);
        QObject::connect(&ticks, &QTimer::timeout,
                         [&] { longestGap = std::max(longestGap, since.restart()); });
        ticks.start();
        QElapsedTimer waited;
        waited.start();
        while (!done()) {
            if (waited.elapsed() > ms)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        longestGap = std::max(longestGap, since.elapsed());
        return true;
    }
    // The window waits for a card call as long as the program does, not the fixture's 10 s.
    void useTheProgramsGrace() { state(window).cards.grace = card::CardAccess::kGrace; }

    // Handles events for ms.
    void answerFor(int ms) {
        QElapsedTimer waited;
        waited.start();
        answerUntil([&] { return waited.elapsed() >= ms; }, ms + 1000);
    }
    // Stall lines of either wording, for any drive.
    int stallLines() const {
        const QStringList lines = logLines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const QString& l) {
            return l.startsWith(QStringLiteral("SD카드(")) &&
                   l.contains(QStringLiteral("응답하지 않습니다"));
        }));
    }
    int writingStallLines() const {
        return static_cast<int>(logLines().count(writingStallLine(kCardDrive)));
    }

    // Until no call on a card is on its way (the program's grace is short).
    void settle() {
        QElapsedTimer waited;
        waited.start();
        while (state(window).cards.anyOutstanding() && waited.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    void serve(const std::string& answerBody, int status = 200) {
        std::lock_guard<std::mutex> lock(mutex);
        answer = answerBody;
        answerStatus = status;
    }

    // A dashcam's card in folder (ending in "/"): its info file and the database it holds.
    static void writeCard(const QString& folder) {
        writeFile(folder + "backbbinfo.cfg", kCardFile);
        writeFile(folder + "rp_cam.idb", kOldDatabase);
    }

    // Drive A is the current folder's; B holds the card unless a test says otherwise.
    void fillDrives(bool cardOnA = false) {
        writeCard(cardOnA ? rootA : rootB);
        fake.driveList = {platform::Drive{rootA, QStringLiteral("A")},
                          platform::Drive{rootB, kCardDrive}};
        fake.currentRoot = rootA;
        window->fillDriveList();
        settle();
    }
    void pick(int index) {
        UI(window, DriveComboBox1)->setCurrentIndex(index);
        emit UI(window, DriveComboBox1)->activated(index);
        settle();
    }
    void focusDriveList() {
        QFocusEvent focus(QEvent::FocusIn);
        QCoreApplication::sendEvent(UI(window, DriveComboBox1), &focus);
    }
    void click() {
        clickWithMouse(UI(window, Image2));
        waitForDownload();
    }
    static QString selectedRootOf(const QComboBox* box) {
        return box->currentIndex() < 0 ? QString() : box->currentData().toString();
    }
    bool buttonActive() const {
        return UI(window, Image2)->isEnabled() &&
               UI(window, Image2)->pixmap().toImage() == state(window).ImageList1.at(0).toImage();
    }
    bool buttonGrey() const {
        return !UI(window, Image2)->isEnabled() &&
               UI(window, Image2)->pixmap().toImage() == state(window).ImageList1.at(1).toImage();
    }
    std::vector<TestServer::Request> requestsTo(const std::string& prefix) const {
        std::vector<TestServer::Request> found;
        for (const auto& r : server.requests()) {
            if (r.path.rfind(prefix, 0) == 0)
                found.push_back(r);
        }
        return found;
    }
    QStringList filesUnder(const QString& root) const {
        QStringList files;
        QDir dir(root);
        for (const QString& f : dir.entryList(QDir::Files | QDir::Hidden | QDir::Dirs |
                                              QDir::System | QDir::NoDotAndDotDot)) {
            files.append(f);
        }
        return files;
    }

    std::mutex mutex;
    std::string answer = answerJson("true");
    int answerStatus = 200;
    std::string echo = R"({"ip":"203.0.113.7"})";
    int echoStatus = 200;
    std::string filePath = "/files/v2/rp_v2.idb";
    std::string database = std::string(300000, 'D') + "end";
    std::function<void()> whileServing;  // runs on the server's thread as the file is sent

    QTemporaryDir outside;  // holds the drives, so "../" from a drive lands here
    QTemporaryDir driveA{outside.path() + "/A-XXXXXX"};
    QTemporaryDir driveB{outside.path() + "/B-XXXXXX"};
    QString rootA;
    QString rootB;
    qint64 longestGap = 0;
};

}  // namespace
