// A request held at the service: the window keeps painting and running its timers, takes its
// input afterwards, and what the request's handlers and the download click decide is the same
// as after a blocking call. The card does not change under a click that waits for the service,
// a window closed meanwhile runs nothing more, and a second request is refused.
#include <QBuffer>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <memory>

#include "account/tflogin.h"
#include "app/guard.h"
#include "app/request_wait.h"
#include "support/card_window.h"

namespace {

const std::string kLoginAccepted =
    R"({"flag":"true","msg":"반갑습니다","mInfo_NAME":"M","mInfo_CODE":"378","bInfo_modelName":"QZ24001",)"
    R"("bInfo_IDX":"1","payment_Sdate":"2025-01-01","payment_Edate":"2026-01-01",)"
    R"("sfd_filename":"rp_v1.idb","sfd_filepath":"/files/v1/","sfd_version":"1.0",)"
    R"("bInfo_scdown_directory":"root"})";

// Another dashcam's card: the same line 1 with serial ..._0099.
QByteArray otherCardFile() {
    QByteArray file = kCardFile;
    file.replace("5F30303432", "5F30303939");
    return file;
}

QByteArray pngPicture() {
    QImage picture(566, 111, QImage::Format_RGB32);
    picture.fill(Qt::darkBlue);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    return bytes;
}

// Counts the events of one kind that reach a widget, and what the window was doing then.
class EventRecorder : public QObject {
  public:
    EventRecorder(QObject* watched, QEvent::Type type) : type_(type) {
        watched->installEventFilter(this);
    }
    int whileWaiting = 0;
    int afterwards = 0;
    std::function<void()> onAfterwards;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == type_) {
            if (request_wait::inFlight()) {
                ++whileWaiting;
            } else {
                ++afterwards;
                if (onAfterwards)
                    onAfterwards();
            }
        }
        return false;
    }

  private:
    QEvent::Type type_;
};

// The service, the IP-echo service and the file host of the card tests, with the answers of
// login, the download request, the echo, the banner list and a banner picture held at the
// server while a test holds them.
class HeldRequest : public CardWindow {
  protected:
    void setUpServer(TestServer& s) override {
        const auto held = [this, &s](const std::string& path,
                                     std::function<void(httplib::Response&)> answer) {
            const auto handler = [this, answer, path](const httplib::Request& req,
                                                      httplib::Response& res) {
                server.record(req);
                const std::shared_ptr<HeldGate> held = gateFor(path);
                if (held) {
                    ++arrived;
                    held->gate.wait();
                }
                answer(res);
                if (held)
                    ++held->answered;
            };
            s.http().Post(path, handler);
            s.http().Get(path, handler);
        };
        held("/mobile/back_c/getLogin.json",
             [](httplib::Response& res) { res.set_content(kLoginAccepted, "application/json"); });
        held("/mobile/back_c/sdcard_down.json", [this](httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            res.status = answerStatus;
            res.set_content(answer, "application/json; charset=utf-8");
        });
        held("/json", [this](httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            res.set_content(echo, "application/json");
        });
        held("/mgr/api/call_banner.api",
             [](httplib::Response& res) { res.set_content(R"({"data":[]})", "application/json"); });
        held("/pictures/banner.png", [this](httplib::Response& res) {
            res.set_content(picture.constData(), picture.size(), "image/png");
        });
        CardWindow::setUpServer(s);
    }

    void TearDown() override {
        release();
        ticks.reset();
        delete login.data();
        CardWindow::TearDown();
    }

    // Requests wait at gate; answered counts those that were answered after it opened.
    struct HeldGate {
        Gate gate;
        std::atomic<int> answered{0};
    };
    // The gate a request to path waits at, if it is held.
    std::shared_ptr<HeldGate> gateFor(const std::string& path) {
        std::lock_guard<std::mutex> lock(gateMutex);
        if (!gate || (!heldPath.empty() && path != heldPath))
            return nullptr;
        return gate;
    }
    // Lets every held request go, and holds no more.
    void release() {
        std::lock_guard<std::mutex> lock(gateMutex);
        if (gate)
            gate->gate.open();
        gate.reset();
    }

    // From now on, requests to the held routes (only path, when given) wait at the server until
    // the test has done meanwhile (on the window's thread, while the window waits) and heldMs
    // have passed.
    void hold(std::function<void()> meanwhile, int heldMs = 400, const std::string& path = {}) {
        release();
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            gate = std::make_shared<HeldGate>();
            heldPath = path;
        }
        arrived = 0;
        since.invalidate();
        watch = std::make_unique<QTimer>();
        watch->setInterval(10);
        QObject::connect(watch.get(), &QTimer::timeout, [this, meanwhile, heldMs] {
            if (arrived == 0)
                return;
            if (!since.isValid()) {
                since.start();
                if (meanwhile)
                    meanwhile();
            }
            if (since.elapsed() >= heldMs) {
                watch->stop();
                release();
            }
        });
        watch->start();
    }

    // A 50 ms timer on the window's thread: the longest it went without a tick, and how many
    // ticks came while a request was out.
    void startTicking() {
        ticks = std::make_unique<QTimer>();
        ticks->setInterval(50);
        sinceTick.start();
        QObject::connect(ticks.get(), &QTimer::timeout, [this] {
            longestGap = std::max(longestGap, sinceTick.restart());
            if (request_wait::inFlight())
                ++ticksWhileWaiting;
        });
        ticks->start();
    }

    void openLogin() {
        login = new TFLogin;
        UI(login, LabeledEdit1)->setText(QStringLiteral("kim"));
        UI(login, LabeledEdit2)->setText(QStringLiteral("pw"));
        login->show();
    }

    QStringList listedRoots() const {
        QStringList roots;
        const QComboBox* box = UI(window, DriveComboBox1);
        for (int i = 0; i < box->count(); ++i)
            roots << box->itemData(i).toString();
        return roots;
    }

    std::mutex gateMutex;
    std::shared_ptr<HeldGate> gate;
    std::string heldPath;
    std::atomic<int> arrived{0};
    std::unique_ptr<QTimer> watch;
    QElapsedTimer since;
    std::unique_ptr<QTimer> ticks;
    QElapsedTimer sinceTick;
    int ticksWhileWaiting = 0;
    QByteArray picture = pngPicture();
    QPointer<TFLogin> login;
};

// Login held for 400 ms: the login window ticks and repaints, a key pressed meanwhile reaches
// its field only after the handler has run, and the answer is handled as before.
TEST_F(HeldRequest, WindowAnswersWhileLoginIsHeldAndTakesItsInputAfter) {
    openLogin();
    QLineEdit* id = UI(login, LabeledEdit1);
    EventRecorder paints(login, QEvent::Paint);
    EventRecorder keys(id, QEvent::KeyPress);
    QString userWhenKeyCame;
    keys.onAfterwards = [&] { userWhenKeyCame = FMain->userInfo().UserID; };
    int idle = 0;
    QObject::connect(window.get(), &TFMain::requestsIdle, [&] { ++idle; });
    startTicking();
    hold([&] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QCoreApplication::sendEvent(id, &press);
        login->update();
    });

    UI(login, Panel5)->clicked();

    EXPECT_GE(ticksWhileWaiting, 4);
    EXPECT_LT(longestGap, 1000);
    EXPECT_GE(paints.whileWaiting, 1);
    EXPECT_EQ(keys.whileWaiting, 0);
    EXPECT_EQ(idle, 1);
    // The handler's effects, as after a blocking call.
    EXPECT_EQ(login->result(), QDialog::Accepted);
    EXPECT_EQ(FMain->userInfo().UserID, QStringLiteral("kim"));
    ASSERT_TRUE(answerUntil([&] { return keys.afterwards == 1; }, 5000));
    EXPECT_EQ(userWhenKeyCame, QStringLiteral("kim"));
    EXPECT_TRUE(fake.boxes.isEmpty());
}

// A card that goes in, or a card's read that answers, while the download click waits for the
// service changes nothing under the click: the request carries the clicked card's serial, the
// database goes to that card, and the change is applied afterwards.
TEST_F(HeldRequest, CardChangesDuringTheClickWaitForIt) {
    struct Case {
        const char* name;
        bool readAnswersMeanwhile;  // else the card goes in meanwhile
    };
    for (const Case& c : {Case{"a card goes in", false}, Case{"a new card's read answers", true}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir driveC{outside.path() + "/C-XXXXXX"};
        const QString rootC = driveC.path() + QLatin1Char('/');
        writeFile(rootC + "backbbinfo.cfg", otherCardFile());
        fillDrives();
        pick(1);
        ASSERT_TRUE(buttonActive());
        const QString serial = UI(window, LabeledEdit6)->text();
        const platform::Drive cardC{rootC, QStringLiteral("C [DASHCAM]")};
        if (c.readAnswersMeanwhile) {
            // It went in before the click; its read has not answered yet.
            fake.holdCardCalls([rootC](platform::CardCall, const QString& where) {
                return where.startsWith(rootC);
            });
            fake.driveList.append(cardC);
            fake.drivesChanged();
            ASSERT_TRUE(fake.waitUntilHeld(1));
        }
        QStringList listedMeanwhile;
        QString selectedMeanwhile;
        hold([&] {
            if (c.readAnswersMeanwhile) {
                fake.releaseCardCalls();
                // Its answer comes back to the window's thread while the request is out.
                QElapsedTimer waited;
                waited.start();
                while (state(window).cards.anyOutstanding() && waited.elapsed() < 5000)
                    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
            } else {
                fake.driveList.append(cardC);
                fake.drivesChanged();
            }
        });
        QTimer::singleShot(300, [&] {
            listedMeanwhile = listedRoots();
            selectedMeanwhile = selectedRootOf(UI(window, DriveComboBox1));
        });
        const QStringList listedBefore = listedRoots();

        click();
        settle();
        answerUntil([] { return false; }, 200);

        EXPECT_EQ(listedMeanwhile, listedBefore);
        EXPECT_EQ(selectedMeanwhile, rootB);
        const auto requests = requestsTo("/mobile/back_c/sdcard_down.json");
        ASSERT_FALSE(requests.empty());
        EXPECT_NE(requests.back().query.find("bInfo_serialno=" + serial.toStdString()),
                  std::string::npos)
            << requests.back().query;
        // The handlers ran in their order before the download: getData2's version, then
        // FDbDownload's line, then the download's own (the log is newest first).
        EXPECT_EQ(UI(window, LabeledEdit7)->text(), QStringLiteral("2.5"));
        const QStringList lines = logLines();
        const qsizetype message = lines.indexOf(QStringLiteral("최신 DB를 내려받습니다"));
        const qsizetype done = lines.indexOf(shown(rootB + "/rp_cam.idb") + kDone);
        EXPECT_TRUE(done >= 0 && message > done) << lines.join('\n').toStdString();
        EXPECT_EQ(readAll(rootB + "rp_cam.idb"), QByteArray::fromStdString(database));
        EXPECT_FALSE(QFile::exists(rootC + "rp_cam.idb"));
        // The clicked card's own serial region stays in its card info file.
        EXPECT_TRUE(readAll(rootB + "backbbinfo.cfg").startsWith(kExampleLine.left(40).toLatin1()));
        // Applied once the click was over: the new card is listed.
        EXPECT_TRUE(listedRoots().contains(rootC));
        EXPECT_TRUE(fake.errorTexts().isEmpty()) << fake.errorTexts().join('\n').toStdString();
        release();
        fake.driveList.removeLast();
        fake.drivesChanged();
        settle();
    }
}

// A window closed while its request is held: the request is given up at once, no handler
// runs, nothing after the request runs (no login, no download), no box, and the window
// closes.
TEST_F(HeldRequest, ClosedWindowRunsNothingAfterItsRequest) {
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::function<QWidget*()> closing;
        std::function<void()> act;
        std::function<void()> check;
        std::string heldPath;
    };
    const Case cases[] = {
        {"the main window during the download click",
         [this] {
             window->show();
             fillDrives();
             pick(1);
             UI(window, Memo1)->clear();
         },
         [this] { return window.get(); }, [this] { emit UI(window, Image2)->clicked(); },
         [this] {
             EXPECT_FALSE(window->isDownloading());
             EXPECT_TRUE(requestsTo("/files/").empty());
             EXPECT_EQ(readAll(rootB + "rp_cam.idb"), kOldDatabase);
             EXPECT_EQ(UI(window, LabeledEdit7)->text(), QString());
             EXPECT_TRUE(logLines().isEmpty()) << logLines().join('\n').toStdString();
         },
         "/mobile/back_c/sdcard_down.json"},
        {"the login window during login",
         [this] {
             state(window).UserInfo.UserID.clear();
             openLogin();
         },
         [this] { return static_cast<QWidget*>(login.data()); },
         [this] { UI(login, Panel5)->clicked(); },
         [this] {
             EXPECT_TRUE(FMain->userInfo().UserID.isEmpty());
             EXPECT_TRUE(!login || login->result() == QDialog::Rejected);
         },
         "/mobile/back_c/getLogin.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        QPointer<QWidget> closing = c.closing();
        // Held far longer than the test waits: only giving the request up ends the wait.
        hold([closing] { closing->close(); }, 60000, c.heldPath);

        c.act();

        // The wait ended while the answer was still held.
        EXPECT_EQ(gate->answered, 0);
        EXPECT_TRUE(closing && closing->isVisible()) << "closed before its action had unwound";
        ASSERT_TRUE(answerUntil([&] { return !closing || !closing->isVisible(); }, 5000));
        c.check();
        EXPECT_TRUE(fake.boxes.isEmpty());
        release();
    }
}

// A second request while one is out is refused: it is not sent, the action that asked for it
// ends without a box, and the first goes on as usual.
TEST_F(HeldRequest, SecondRequestDuringTheWaitIsRefused) {
    openLogin();
    bool refused = false;
    bool secondGoesOn = false;
    hold([&] {
        try {
            window->FHttpPost(server.url("/mobile/back_c/sdcard_down.json"), {}, 7);
        } catch (const RequestAbandoned& e) {
            refused = e.why() == RequestAbandoned::Why::AnotherRequestOut;
        }
        runGuarded([&] {
            window->FHttpPost(server.url("/mobile/back_c/sdcard_down.json"), {}, 7);
            secondGoesOn = true;
        });
    });

    UI(login, Panel5)->clicked();

    EXPECT_TRUE(refused);
    EXPECT_FALSE(secondGoesOn);
    EXPECT_TRUE(requestsTo("/mobile/back_c/sdcard_down.json").empty());
    EXPECT_EQ(requestsTo("/mobile/back_c/getLogin.json").size(), 1u);
    EXPECT_EQ(login->result(), QDialog::Accepted);
    EXPECT_TRUE(fake.boxes.isEmpty());
}

// The constructor's banner request runs before the window is complete: nothing reaches the
// half-built window while it waits, and what was held reaches it afterwards.
TEST_F(HeldRequest, HalfBuiltWindowTakesNoEventWhileItsBannerRequestWaits) {
    window.reset();
    const std::size_t before = requestsTo("/mgr/api/call_banner.api").size();
    startTicking();
    QStringList reached;
    std::vector<std::unique_ptr<QObject>> recorders;
    hold([&] {
        ASSERT_NE(FMain, nullptr);
        class Everything : public QObject {
          public:
            explicit Everything(QStringList& reached) : reached_(reached) {}

          protected:
            bool eventFilter(QObject* watched, QEvent* event) override {
                if (request_wait::inFlight())
                    reached_ << watched->objectName() + QLatin1Char(':') +
                                    QString::number(event->type());
                return false;
            }

          private:
            QStringList& reached_;
        };
        auto recorder = std::make_unique<Everything>(reached);
        FMain->installEventFilter(recorder.get());
        for (QWidget* child : FMain->findChildren<QWidget*>())
            child->installEventFilter(recorder.get());
        recorders.push_back(std::move(recorder));
    });

    window = std::make_unique<TFMain>();

    EXPECT_EQ(requestsTo("/mgr/api/call_banner.api").size(), before + 1);
    EXPECT_GE(ticksWhileWaiting, 4);
    EXPECT_LT(longestGap, 1000);
    EXPECT_TRUE(reached.isEmpty()) << reached.join(' ').toStdString();
    EXPECT_FALSE(window->testAttribute(Qt::WA_WState_Polished));
    ASSERT_TRUE(answerUntil([&] { return window->testAttribute(Qt::WA_WState_Polished); }, 5000));
    EXPECT_TRUE(fake.boxes.isEmpty());
}

// The address echo before a download and the banner picture wait as the service's requests do.
TEST_F(HeldRequest, AddressEchoAndBannerPictureKeepTheWindowAnswering) {
    struct Case {
        const char* name;
        std::function<void()> call;
        std::function<void()> check;
    };
    QString address;
    const Case cases[] = {
        {"address echo", [&] { address = window->FGetIP(); },
         [&] { EXPECT_EQ(address, QStringLiteral("203.0.113.7")); }},
        {"banner picture", [&] { window->FImgDown(server.url("/pictures/banner.png")); },
         [&] { EXPECT_EQ(readAll(fake.cacheDir + "a.jpg"), picture); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        longestGap = 0;
        ticksWhileWaiting = 0;
        startTicking();
        hold({});
        c.call();
        EXPECT_GE(ticksWhileWaiting, 4);
        EXPECT_LT(longestGap, 1000);
        c.check();
        release();
    }
}

}  // namespace
