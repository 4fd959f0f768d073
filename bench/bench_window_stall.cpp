// The main window's longest stall while it works on a card: the largest gap between two ticks
// of a 50 ms timer on the window's thread, during card reads (다시읽기) and during a database
// download from the click to the end of the card info rewrite, on a normal card and on a slow
// one; and while it waits for a slow service, whose answers trickle in within the limits (a
// piece every TRICKLE_GAP_MS, 1000, for TRICKLE_MS, 4000, in all): the login, 결제내역확인 and
// the download click's requests (address echo, download request, then a 1 MiB database). Each
// figure stands beside the same timer on the same window left idle for as long, in the same
// run, so that what the work adds shows.
//
//   bench_window_stall CARD_FOLDER DATABASE_FILE [ROUNDS]
//
// CARD_FOLDER is a real file system standing in for a normal card (bench/run-window-stall-bench
// mounts an exFAT image); the slow card is the tests' FUSE card over a folder of its own, with
// SLOW_MS (10) of delay on every call. READS (20) 다시읽기 presses per round. GRACE_MS sets how
// long the window waits for a card call before going on (the program's own unless set), to see
// what that wait adds. The drive list is the fake platform's; every call on a card, and the
// flush of its volume, go to the real file system. Needs root for the slow card (FUSE);
// without it only the normal card is measured.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <httplib.h>

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "account/tflogin.h"
#include "app/request_wait.h"
#include "card/card_access.h"
#include "file_stream.h"
#include "payments/tfpaymentlist.h"
#include "platform/linux_platform.h"
#include "support/card_example.h"
#include "support/controls.h"
#include "support/failing_card.h"
#include "support/fake_platform.h"
#include "support/main_window_state.h"
#include "support/test_server.h"

namespace {

constexpr int kTickMs = 50;
// How often a wait looks whether its step is done; the idle reference waits the same way.
constexpr int kPollMs = 10;

// The fake platform's drive list, with the real flush of the card's volume after a download.
class BenchPlatform : public FakePlatform {
  public:
    platform::VolumeFlush flushVolume(const QString& root) override {
        return platform::LinuxPlatform().flushVolume(root);
    }
};

// The longest event handled on the window's thread while a step runs, and what it was: which
// handler keeps the window from its timer.
struct Handled {
    qint64 ms = 0;
    qint64 cpuMs = 0;  // of it, on the processor: the rest is waiting, or other processes
    QString what;
};

qint64 threadCpuUs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

class TimedApplication : public QApplication {
  public:
    TimedApplication(int& argc, char** argv) : QApplication(argc, argv) {
        QObject::connect(&request_wait::notifier(), &request_wait::Notifier::idle,
                         [this] { ++waits_; });
    }

    bool notify(QObject* receiver, QEvent* event) override {
        // What runs while a request is out is measured event by event: the event that waits
        // for the request is no handler that holds the window.
        if (!watching || (depth_ > 0 && !request_wait::inFlight()) ||
            QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        const quint64 waitsBefore = waits_;
        ++depth_;
        label.clear();
        const Snapshot before = snapshot();
        // A single-shot timer deletes itself as it fires: what it was is taken first.
        const char* receiverClass = receiver->metaObject()->className();
        const QEvent::Type type = event->type();
        QElapsedTimer took;
        took.start();
        const qint64 cpuBefore = threadCpuUs();
        const bool result = QApplication::notify(receiver, event);
        const qint64 ms = took.elapsed();
        const qint64 cpuMs = (threadCpuUs() - cpuBefore) / 1000;
        --depth_;
        if (waits_ == waitsBefore && ms >= longest.ms) {
            longest.ms = ms;
            longest.cpuMs = cpuMs;
            longest.what = describe(receiverClass, type, before, snapshot());
        }
        return result;
    }

    bool watching = false;
    Handled longest;
    // Set by the bench's own steps while they run, to name them.
    QString label;
    std::function<int()> progress;
    std::function<QString()> newestLine;
    std::function<bool()> cardCallOutstanding;

  private:
    struct Snapshot {
        int progress = 0;
        QString line;
        bool outstanding = false;
    };
    Snapshot snapshot() const {
        return Snapshot{progress ? progress() : 0, newestLine ? newestLine() : QString(),
                        cardCallOutstanding ? cardCallOutstanding() : false};
    }
    QString describe(const char* receiverClass, QEvent::Type type, const Snapshot& before,
                     const Snapshot& after) const {
        const char* typeName = QMetaEnum::fromType<QEvent::Type>().valueToKey(type);
        QString what = QString::fromLatin1(typeName ? typeName : "event") + QStringLiteral(" to ") +
                       QString::fromLatin1(receiverClass);
        if (!label.isEmpty())
            what += QStringLiteral(": ") + label;
        // Queued calls to the window say nothing of themselves; what they changed does.
        if (before.outstanding != after.outstanding)
            what += after.outstanding ? QStringLiteral(", a card call started")
                                      : QStringLiteral(", a card call's result applied");
        if (before.progress != after.progress)
            what += QStringLiteral(", progress %1 -> %2").arg(before.progress).arg(after.progress);
        if (before.line != after.line)
            what += QStringLiteral(", logged \"%1\"").arg(after.line.left(60));
        return what;
    }
    int depth_ = 0;
    quint64 waits_ = 0;
};

// A gap between two ticks, and how the window's thread spent it.
struct Gap {
    qint64 ms = 0;
    qint64 queuedMs = 0;  // ready to run but waiting for a processor: other work had both
    qint64 cpuMs = 0;     // running
};

// Ticks of a 50 ms timer on the window's thread, from start() to stop(), each with the
// thread's scheduler figures then.
class Ticks {
  public:
    Ticks() : schedstat_(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kTickMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { mark(); });
    }
    ~Ticks() {
        if (schedstat_ >= 0)
            ::close(schedstat_);
    }
    Ticks(const Ticks&) = delete;
    Ticks& operator=(const Ticks&) = delete;

    void start() {
        at_.clear();
        clock_.start();
        mark();
        timer_.start();
    }
    void stop() {
        mark();
        timer_.stop();
    }
    qint64 now() const { return clock_.elapsed(); }
    qint64 duration() const { return at_.empty() ? 0 : at_.back().ms; }
    // The largest gap between ticks, counting only gaps that begin at or after from (ms).
    Gap longestGap(qint64 from = 0) const {
        Gap longest;
        for (std::size_t i = 0; i + 1 < at_.size(); ++i) {
            if (at_[i].ms >= from && gap(i).ms > longest.ms)
                longest = gap(i);
        }
        return longest;
    }
    // The largest gap once the time the thread waited for a processor is taken out of it.
    qint64 longestOwnGap() const {
        qint64 longest = 0;
        for (std::size_t i = 0; i + 1 < at_.size(); ++i)
            longest = std::max(longest, gap(i).ms - gap(i).queuedMs);
        return longest;
    }
    int gapsOver(qint64 ms) const {
        int n = 0;
        for (std::size_t i = 0; i + 1 < at_.size(); ++i)
            n += gap(i).ms > ms ? 1 : 0;
        return n;
    }

  private:
    struct Mark {
        qint64 ms;
        qint64 cpuNs;
        qint64 queuedNs;
    };
    void mark() {
        Mark m{clock_.elapsed(), 0, 0};
        char text[128] = {0};
        if (schedstat_ >= 0 && ::pread(schedstat_, text, sizeof text - 1, 0) > 0) {
            long long cpu = 0, queued = 0;
            if (std::sscanf(text, "%lld %lld", &cpu, &queued) == 2) {
                m.cpuNs = cpu;
                m.queuedNs = queued;
            }
        }
        at_.push_back(m);
    }
    Gap gap(std::size_t i) const {
        return Gap{at_[i + 1].ms - at_[i].ms, (at_[i + 1].queuedNs - at_[i].queuedNs) / 1000000,
                   (at_[i + 1].cpuNs - at_[i].cpuNs) / 1000000};
    }

    QTimer timer_;
    QElapsedTimer clock_;
    int schedstat_;
    std::vector<Mark> at_;
};

// Runs the window's event loop until done holds; false after ms.
bool runUntil(const std::function<bool()>& done, qint64 ms) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(kPollMs);
    QElapsedTimer waited;
    waited.start();
    bool ok = true;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done()) {
            loop.quit();
        } else if (waited.elapsed() > ms) {
            ok = false;
            loop.quit();
        }
    });
    poll.start();
    loop.exec();
    return ok;
}

struct Step {
    Gap gap;            // the longest gap between ticks
    Gap transferGap;    // downloads: only gaps that begin after the click's handler
    qint64 ownGap = 0;  // the longest gap less the thread's wait for a processor
    Gap idleGap;        // the same timer on the idle window, as long
    qint64 idleOwnGap = 0;
    qint64 ms = 0;       // how long the step took
    qint64 clickMs = 0;  // downloads: the click's handler (address echo, request)
    int over100 = 0;     // gaps over 100 ms
    int idleOver100 = 0;
    Handled longest;  // the longest event handled during the step
    Handled idleLongest;
    bool ok = false;
};

QByteArray cardInfoFile() {
    return kExampleLine.toLatin1() + "\r\nSPACE\r\nQZ24001\r\nSW 1.0\r\nFW 3.4\r\n";
}

class Bench {
  public:
    Bench(TimedApplication& app, const QString& databaseFile) : app_(app), database_(databaseFile) {
        QFile file(database_);
        if (file.open(QIODevice::ReadOnly)) {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            hash.addData(&file);
            sha256_ = hash.result().toHex();
            size_ = file.size();
        }
        serve();
        config_ = std::make_unique<ConfigOverride>(server_.host());
        window_ = std::make_unique<TFMain>();
        TFMainTestAccess s = state(window_);
        s.UserInfo.UserID = QStringLiteral("kim");
        s.UserInfo.bb_Model_Name = QStringLiteral("QZ24001");
        s.UserInfo.FileName = QStringLiteral("rp_v1.idb");
        s.UserInfo.Path = QStringLiteral("/files/v1/");
        s.UserInfo.Version = QStringLiteral("1.0");
        s.UserInfo.DownDir = QStringLiteral("root");
        app_.progress = [this] { return UI(window_, ProgressBar1)->value(); };
        app_.newestLine = [this] {
            return UI(window_, Memo1)->document()->firstBlock().text().mid(11);
        };
        app_.cardCallOutstanding = [this] { return state(window_).cards.anyOutstanding(); };
    }
    ~Bench() {
        app_.progress = nullptr;
        app_.newestLine = nullptr;
        app_.cardCallOutstanding = nullptr;
    }

    bool valid() const { return size_ > 0; }
    std::chrono::milliseconds& grace() { return state(window_).cards.grace; }
    qint64 databaseSize() const { return size_; }

    // Every card is listed; the window shows from the first and reads its card.
    void setCards(const QList<platform::Drive>& drives) {
        fake_.driveList = drives;
        fake_.currentRoot = drives.front().root;
        window_->resize(800, 600);
        window_->show();
        runUntil([this] { return !state(window_).cards.anyOutstanding(); }, 60000);
    }

    // Picks the drive and waits for its card read.
    bool pick(int index) {
        QComboBox* box = UI(window_, DriveComboBox1);
        box->setCurrentIndex(index);
        emit box->activated(index);
        return runUntil([this] { return !state(window_).cards.anyOutstanding(); }, 60000) &&
               buttonActive();
    }

    Step reads(int count) {
        Step step;
        UI(window_, Memo1)->clear();
        watch(true);
        ticks_.start();
        bool ok = true;
        for (int i = 0; i < count && ok; ++i) {
            bool pressed = false;
            later([&] {
                app_.label = QStringLiteral("다시읽기 pressed");
                pressed = true;
                emit UI(window_, Panel9)->clicked();
            });
            ok = runUntil([&] { return pressed && !state(window_).cards.anyOutstanding(); }, 60000);
        }
        ticks_.stop();
        finish(step);
        const QStringList lines = UI(window_, Memo1)->toPlainText().split(QLatin1Char('\n'));
        step.ok = ok && lines.size() == 2 * count &&
                  lines.front().mid(11).startsWith(QStringLiteral("SD카드의 데이터베이스")) &&
                  buttonActive();
        idle(step);
        return step;
    }

    Step download(const QString& cardFile) { return download(cardFile, size_); }
    Step download(const QString& cardFile, qint64 expectedSize) {
        Step step;
        UI(window_, Memo1)->clear();
        watch(true);
        ticks_.start();
        bool clicked = false;
        qint64 clickEnd = 0;
        later([&] {
            app_.label = QStringLiteral("다운로드 clicked");
            QElapsedTimer took;
            took.start();
            // The click's requests run the event loop meanwhile: done only once it returns.
            emit UI(window_, Image2)->clicked();
            clicked = true;
            step.clickMs = took.elapsed();
            clickEnd = ticks_.now();
        });
        const bool ended =
            runUntil([&] { return clicked && !window_->isDownloading(); }, 30 * 60 * 1000);
        ticks_.stop();
        finish(step);
        step.transferGap = ticks_.longestGap(clickEnd);
        const QString log = UI(window_, Memo1)->toPlainText();
        step.ok = ended && log.contains(QStringLiteral("파일이 다운로드 되었습니다")) &&
                  QFileInfo(cardFile).size() == expectedSize;
        if (!step.ok)
            std::fprintf(stderr, "download failed:\n%s\n", log.toUtf8().constData());
        idle(step);
        return step;
    }

    // From now on every answer of the service and of the address echo trickles in, and the
    // download request names the small database.
    void slowService(int totalMs, int gapMs) {
        trickleMs_ = totalMs;
        trickleGapMs_ = gapMs;
    }
    qint64 smallDatabaseSize() const { return smallDatabase_.size(); }

    // The login window's login, from the click until its handler has returned.
    Step login() {
        QPointer<TFLogin> dialog = new TFLogin;
        int result = -1;
        // It releases itself once it has closed.
        QObject::connect(dialog, &QDialog::finished, [&result](int r) { result = r; });
        UI(dialog, LabeledEdit1)->setText(QStringLiteral("kim"));
        UI(dialog, LabeledEdit2)->setText(QStringLiteral("pw"));
        dialog->show();
        runUntil([dialog] { return dialog->isVisible(); }, 10000);
        Step step;
        watch(true);
        ticks_.start();
        bool returned = false;
        later([&] {
            app_.label = QStringLiteral("로그인 clicked");
            emit UI(dialog, Panel5)->clicked();
            returned = true;
        });
        const bool ended = runUntil([&] { return returned; }, 5 * 60 * 1000);
        ticks_.stop();
        finish(step);
        step.ok = ended && result == QDialog::Accepted;
        delete dialog.data();
        idle(step);
        return step;
    }

    // 결제내역확인: the payment window's creation and its list, until the window is closed as
    // soon as the list is in.
    Step payments() {
        Step step;
        watch(true);
        ticks_.start();
        bool returned = false;
        int rows = 0;
        QTimer closer;
        closer.setInterval(kPollMs);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (FPaymentList && FPaymentList->isVisible() && !request_wait::inFlight()) {
                rows = FPaymentList->grid()->gridRowCount();
                FPaymentList->close();
            }
        });
        closer.start();
        later([&] {
            app_.label = QStringLiteral("결제내역확인 clicked");
            window_->Image4Click();
            returned = true;
        });
        const bool ended = runUntil([&] { return returned; }, 5 * 60 * 1000);
        ticks_.stop();
        finish(step);
        step.ok = ended && rows >= 3;
        idle(step);
        return step;
    }

  private:
    bool buttonActive() const {
        return UI(window_, Image2)->isEnabled() &&
               UI(window_, Image2)->pixmap().toImage() == state(window_).ImageList1.at(0).toImage();
    }

    // A press comes at any moment, not in step with the timer.
    void later(std::function<void()> press) {
        const int delay = std::uniform_int_distribution<int>(0, kTickMs - 1)(random_);
        QTimer::singleShot(delay, Qt::PreciseTimer, window_.get(), std::move(press));
    }

    void watch(bool on) {
        if (on)
            app_.longest = Handled{};
        app_.watching = on;
    }

    void finish(Step& step) {
        watch(false);
        step.gap = ticks_.longestGap();
        step.transferGap = step.gap;
        step.ownGap = ticks_.longestOwnGap();
        step.ms = ticks_.duration();
        step.over100 = ticks_.gapsOver(100);
        step.longest = app_.longest;
    }

    // The same timer and waits on the idle window, as long as the step took.
    void idle(Step& step) {
        watch(true);
        ticks_.start();
        runUntil([&] { return ticks_.now() >= step.ms; }, step.ms + 60000);
        ticks_.stop();
        watch(false);
        step.idleGap = ticks_.longestGap();
        step.idleOwnGap = ticks_.longestOwnGap();
        step.idleOver100 = ticks_.gapsOver(100);
        step.idleLongest = app_.longest;
    }

    // The answer whole at once, or, from a slow service, in pieces trickleGapMs_ apart over
    // trickleMs_: never silent for as long as the read time-out, so a valid answer.
    void answer(httplib::Response& res, const std::string& body, const char* type) {
        const int total = trickleMs_;
        const int gap = std::max(1, trickleGapMs_);
        if (total <= 0) {
            res.set_content(body, type);
            return;
        }
        const std::size_t pieces = static_cast<std::size_t>(std::max(1, total / gap)) + 1;
        res.set_chunked_content_provider(
            type, [body, pieces, gap](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= body.size()) {
                    sink.done();
                    return true;
                }
                const std::size_t piece = std::max<std::size_t>(1, body.size() / pieces);
                if (offset > 0)
                    QThread::msleep(static_cast<unsigned long>(gap));
                sink.write(body.data() + offset, std::min(piece, body.size() - offset));
                return true;
            });
    }

    void serve() {
        smallDatabase_ = QByteArray(1 << 20, 'N');
        const QByteArray smallSha =
            QCryptographicHash::hash(smallDatabase_, QCryptographicHash::Sha256).toHex();
        auto& http = server_.http();
        http.Post("/mobile/back_c/sdcard_down.json", [this, smallSha](const httplib::Request&,
                                                                      httplib::Response& res) {
            const bool small = trickleMs_ > 0;
            const std::string answerText =
                std::string(R"({"flag":"true","sfd_filename":")") +
                (small ? "rp_small.idb" : "rp_v2.idb") +
                R"(","sfd_filepath":"/files/v2/","sfd_version":"2.5",)"
                R"("bInfo_scdown_directory":"root","msg":"최신 DB를 내려받습니다","sfd_size":")" +
                std::to_string(small ? smallDatabase_.size() : size_) + R"(","sfd_sha256":")" +
                (small ? smallSha : sha256_).toStdString() + R"("})";
            answer(res, answerText, "application/json; charset=utf-8");
        });
        http.Get("/json", [this](const httplib::Request&, httplib::Response& res) {
            answer(res, R"({"ip":"203.0.113.7"})", "application/json");
        });
        http.Post("/mobile/back_c/getLogin.json", [this](const httplib::Request&,
                                                         httplib::Response& res) {
            answer(res,
                   R"({"flag":"true","msg":"반갑습니다","mInfo_NAME":"M","mInfo_CODE":"378",)"
                   R"("bInfo_modelName":"QZ24001","bInfo_IDX":"1","payment_Sdate":"2025-01-01",)"
                   R"("payment_Edate":"2026-01-01","sfd_filename":"rp_v1.idb",)"
                   R"("sfd_filepath":"/files/v1/","sfd_version":"1.0",)"
                   R"("bInfo_scdown_directory":"root"})",
                   "application/json; charset=utf-8");
        });
        http.Post(
            "/mobile/back_c/paylist.json", [this](const httplib::Request&, httplib::Response& res) {
                std::string list = R"({"flag":"true","list":[)";
                for (int i = 0; i < 12; ++i) {
                    list += std::string(i ? "," : "") + R"({"regdate":"2025-01-)" +
                            std::to_string(10 + i) + R"(","paymethod":"card","amount":"9900"})";
                }
                answer(res, list + "]}", "application/json; charset=utf-8");
            });
        http.Get("/files/v2/rp_small.idb", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(smallDatabase_.constData(), smallDatabase_.size(),
                            "application/octet-stream");
        });
        http.Get("/files/v2/rp_v2.idb", streamFile(QFile::encodeName(database_).toStdString(),
                                                   static_cast<size_t>(size_)));
        server_.start();
    }

    TimedApplication& app_;
    QString database_;
    QByteArray sha256_;
    qint64 size_ = 0;
    BenchPlatform fake_;
    TestServer server_;
    std::unique_ptr<ConfigOverride> config_;
    std::unique_ptr<TFMain> window_;
    Ticks ticks_;
    std::mt19937 random_{20250314};
    int trickleMs_ = 0;
    int trickleGapMs_ = 1000;
    QByteArray smallDatabase_;
};

qint64 median(std::vector<qint64> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Row {
    QString name;
    bool download = false;
    std::vector<Step> rounds;
};

void printTable(const std::vector<Row>& rows) {
    std::printf(
        "\nlongest gap between ticks of a %d ms timer on the window's thread, ms: median and max "
        "over the rounds, the same on the idle window as long, gaps over 100 ms; the longest gap "
        "less the thread's wait for a processor; the longest single event handled on the "
        "window's thread (what the program itself holds it for), and the idle window's\n",
        kTickMs);
    std::printf("%-42s %6s %5s %8s %8s %6s %9s %7s %7s %7s %7s %8s %7s\n", "", "median", "max",
                "idle med", "idle max", ">100ms", "idle >100", "own med", "own max", "handler",
                "handler", "idle", "step, s");
    std::printf("%-42s %6s %5s %8s %8s %6s %9s %7s %7s %7s %7s %8s %7s\n", "", "", "", "", "", "",
                "", "", "", "median", "max", "handler", "");
    for (const Row& row : rows) {
        std::vector<qint64> gaps, idle, own, handlers, ms;
        qint64 most = 0, idleMost = 0, ownMost = 0, handlerMost = 0, idleHandlerMost = 0;
        int over = 0, idleOver = 0;
        for (const Step& s : row.rounds) {
            gaps.push_back(s.gap.ms);
            idle.push_back(s.idleGap.ms);
            own.push_back(s.ownGap);
            handlers.push_back(s.longest.ms);
            ms.push_back(s.ms);
            most = std::max(most, s.gap.ms);
            idleMost = std::max(idleMost, s.idleGap.ms);
            ownMost = std::max(ownMost, s.ownGap);
            handlerMost = std::max(handlerMost, s.longest.ms);
            idleHandlerMost = std::max(idleHandlerMost, s.idleLongest.ms);
            over += s.over100;
            idleOver += s.idleOver100;
        }
        std::printf("%-42s %6lld %5lld %8lld %8lld %6d %9d %7lld %7lld %7lld %7lld %8lld %7.1f\n",
                    row.name.toUtf8().constData(), static_cast<long long>(median(gaps)),
                    static_cast<long long>(most), static_cast<long long>(median(idle)),
                    static_cast<long long>(idleMost), over, idleOver,
                    static_cast<long long>(median(own)), static_cast<long long>(ownMost),
                    static_cast<long long>(median(handlers)), static_cast<long long>(handlerMost),
                    static_cast<long long>(idleHandlerMost),
                    static_cast<double>(median(ms)) / 1000.0);
    }
    std::printf("\n");
    for (const Row& row : rows) {
        Handled worst, idleWorst;
        Gap widest;
        std::vector<qint64> clicks, transfer;
        for (const Step& s : row.rounds) {
            if (s.longest.ms >= worst.ms)
                worst = s.longest;
            if (s.idleLongest.ms >= idleWorst.ms)
                idleWorst = s.idleLongest;
            if (s.gap.ms >= widest.ms)
                widest = s.gap;
            clicks.push_back(s.clickMs);
            transfer.push_back(s.transferGap.ms);
        }
        std::printf(
            "%s\n  longest gap: %lld ms, of which %lld waiting for a processor, %lld running\n"
            "  longest handler: %lld ms (%lld on the processor), %s\n"
            "  idle's longest handler: %lld ms (%lld), %s\n",
            row.name.toUtf8().constData(), static_cast<long long>(widest.ms),
            static_cast<long long>(widest.queuedMs), static_cast<long long>(widest.cpuMs),
            static_cast<long long>(worst.ms), static_cast<long long>(worst.cpuMs),
            worst.what.toUtf8().constData(), static_cast<long long>(idleWorst.ms),
            static_cast<long long>(idleWorst.cpuMs), idleWorst.what.toUtf8().constData());
        if (row.download) {
            std::printf(
                "  the click's handler (address echo, download request): median %lld ms; "
                "longest gap after it: median %lld ms, max %lld ms\n",
                static_cast<long long>(median(clicks)), static_cast<long long>(median(transfer)),
                static_cast<long long>(*std::max_element(transfer.begin(), transfer.end())));
        }
    }
}

int run(TimedApplication& app, const QString& cardFolder, const QString& databaseFile, int rounds) {
    const int reads = std::max(
        1, qEnvironmentVariableIntValue("READS") > 0 ? qEnvironmentVariableIntValue("READS") : 20);
    const int slowMs =
        qEnvironmentVariableIsSet("SLOW_MS") ? qEnvironmentVariableIntValue("SLOW_MS") : 10;
    Bench bench(app, databaseFile);
    if (!bench.valid()) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(databaseFile));
        return 2;
    }
    if (qEnvironmentVariableIsSet("GRACE_MS"))
        bench.grace() = std::chrono::milliseconds{qEnvironmentVariableIntValue("GRACE_MS")};
    std::printf("the window waits up to %lld ms for a card call before going on\n",
                static_cast<long long>(bench.grace().count()));

    struct Card {
        QString name;
        QString root;
    };
    std::vector<Card> cards{{QStringLiteral("normal card"), cardFolder + QLatin1Char('/')}};
    // The slow card's folder, and the card itself, live as long as the run.
    QTemporaryDir backing;
    std::unique_ptr<FailingCard> slow;
    if (const QString why = FailingCard::unavailableReason(); !why.isEmpty()) {
        std::printf("no slow card: %s\n", qPrintable(why));
    } else {
        slow = std::make_unique<FailingCard>(backing.path());
        if (!slow->isMounted() || !slow->slow(slowMs))
            return 2;
        cards.push_back(Card{QStringLiteral("slow card (%1 ms a call)").arg(slowMs),
                             slow->mountPoint() + QLatin1Char('/')});
    }

    QList<platform::Drive> drives;
    for (const Card& card : cards) {
        QFile info(card.root + QStringLiteral("backbbinfo.cfg"));
        if (!info.open(QIODevice::WriteOnly) || info.write(cardInfoFile()) < 0) {
            std::fprintf(stderr, "cannot write onto %s\n", qPrintable(card.root));
            return 2;
        }
        // The database the card holds before the first round; the new one after it.
        QFile database(card.root + QStringLiteral("rp_cam.idb"));
        if (!database.open(QIODevice::WriteOnly) || database.write(QByteArray(1 << 20, 'O')) < 0) {
            std::fprintf(stderr, "cannot write onto %s\n", qPrintable(card.root));
            return 2;
        }
        drives.append(platform::Drive{card.root, card.name});
    }
    bench.setCards(drives);

    std::vector<Row> rows;
    for (const Card& card : cards) {
        rows.push_back(Row{card.name + QStringLiteral(": %1 card reads").arg(reads), false, {}});
        rows.push_back(
            Row{card.name + QStringLiteral(": download %1 MiB").arg(bench.databaseSize() >> 20),
                true,
                {}});
    }
    bool allOk = true;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t c = 0; c < cards.size(); ++c) {
            const Card& card = cards[c];
            // The card info file says version 1.0 again, as a card that needs the database.
            QFile info(card.root + QStringLiteral("backbbinfo.cfg"));
            if (info.open(QIODevice::WriteOnly))
                info.write(cardInfoFile());
            info.close();
            if (!bench.pick(static_cast<int>(c))) {
                std::fprintf(stderr, "the %s was not read\n", qPrintable(card.name));
                return 1;
            }
            const Step read = bench.reads(reads);
            const Step download = bench.download(card.root + QStringLiteral("rp_cam.idb"));
            rows[2 * c].rounds.push_back(read);
            rows[2 * c + 1].rounds.push_back(download);
            allOk = allOk && read.ok && download.ok;
            // Each gap with the part of it the thread spent waiting for a processor.
            std::printf(
                "round %d  %-26s reads: gap %3lld ms (queued %3lld; idle %3lld) in %4.1f s %s  "
                "download: gap %3lld ms (queued %3lld; idle %3lld) in %4.1f s, click %lld ms %s\n",
                round + 1, qPrintable(card.name), static_cast<long long>(read.gap.ms),
                static_cast<long long>(read.gap.queuedMs), static_cast<long long>(read.idleGap.ms),
                static_cast<double>(read.ms) / 1000.0, read.ok ? "ok" : "WRONG",
                static_cast<long long>(download.gap.ms),
                static_cast<long long>(download.gap.queuedMs),
                static_cast<long long>(download.idleGap.ms),
                static_cast<double>(download.ms) / 1000.0, static_cast<long long>(download.clickMs),
                download.ok ? "ok" : "FAILED");
            std::fflush(stdout);
        }
    }
    // A slow service: the login, 결제내역확인 and the download click's requests, with the
    // normal card.
    const int trickleMs =
        qEnvironmentVariableIsSet("TRICKLE_MS") ? qEnvironmentVariableIntValue("TRICKLE_MS") : 4000;
    const int trickleGapMs = qEnvironmentVariableIsSet("TRICKLE_GAP_MS")
                                 ? qEnvironmentVariableIntValue("TRICKLE_GAP_MS")
                                 : 1000;
    if (trickleMs > 0) {
        bench.slowService(trickleMs, trickleGapMs);
        const QString service = QStringLiteral("slow service (%1 s, a piece every %2 ms): ")
                                    .arg(trickleMs / 1000.0)
                                    .arg(trickleGapMs);
        const std::size_t first = rows.size();
        rows.push_back(Row{service + QStringLiteral("login"), false, {}});
        rows.push_back(Row{service + QStringLiteral("결제내역확인"), false, {}});
        rows.push_back(Row{service + QStringLiteral("download click"), true, {}});
        const Card& card = cards.front();
        for (int round = 0; round < rounds; ++round) {
            QFile info(card.root + QStringLiteral("backbbinfo.cfg"));
            if (info.open(QIODevice::WriteOnly))
                info.write(cardInfoFile());
            info.close();
            const Step login = bench.login();
            const Step payments = bench.payments();
            if (!bench.pick(0)) {
                std::fprintf(stderr, "the %s was not read\n", qPrintable(card.name));
                return 1;
            }
            const Step download =
                bench.download(card.root + QStringLiteral("rp_cam.idb"), bench.smallDatabaseSize());
            rows[first].rounds.push_back(login);
            rows[first + 1].rounds.push_back(payments);
            rows[first + 2].rounds.push_back(download);
            allOk = allOk && login.ok && payments.ok && download.ok;
            std::printf(
                "round %d  slow service  login: gap %3lld ms (idle %3lld) in %4.1f s %s  "
                "payments: gap %3lld ms (idle %3lld) in %4.1f s %s  download click: gap %3lld ms "
                "(idle %3lld) in %4.1f s %s\n",
                round + 1, static_cast<long long>(login.gap.ms),
                static_cast<long long>(login.idleGap.ms), static_cast<double>(login.ms) / 1000.0,
                login.ok ? "ok" : "WRONG", static_cast<long long>(payments.gap.ms),
                static_cast<long long>(payments.idleGap.ms),
                static_cast<double>(payments.ms) / 1000.0, payments.ok ? "ok" : "WRONG",
                static_cast<long long>(download.gap.ms),
                static_cast<long long>(download.idleGap.ms),
                static_cast<double>(download.ms) / 1000.0, download.ok ? "ok" : "FAILED");
            std::fflush(stdout);
        }
    }
    printTable(rows);
    return allOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s CARD_FOLDER DATABASE_FILE [ROUNDS]\n", argv[0]);
        return 2;
    }
    // Under the display given (Xvfb in the wrapper), else offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    std::printf("platform: %s\n", qPrintable(QGuiApplication::platformName()));
    const QString card = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const int rounds = argc == 4 ? std::max(1, std::atoi(argv[3])) : 5;
    return run(app, card, QString::fromLocal8Bit(argv[2]), rounds);
}
