// The payment history window against a real server: the request, the grid it fills, reloads,
// failures, and the window's life from the main window's button to its release.
#include <QHeaderView>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <mutex>

#include "payments/pay_method.h"
#include "payments/tfpaymentlist.h"
#include "support/app_fixture.h"
#include "support/controls.h"
#include "support/main_window_state.h"
#include "ui_tfpaymentlist.h"

namespace {

using Rows = std::vector<QStringList>;

const QStringList kHeader{QStringLiteral("No"), QStringLiteral("결재일시"),
                          QStringLiteral("결재방식"), QStringLiteral("결재금액")};
const QStringList kEmptyRow{QString(), QString(), QString(), QString()};

const std::string kTwo =
    R"({"list":[{"regdate":"2025-01-05 10:00:00","paymethod":"card","amount":"33000"},)"
    R"({"regdate":"2024-01-03 09:12:45","paymethod":"BANK","amount":"30000"}]})";
const Rows kTwoRows{{"1", "2025-01-05 10:00:00", QStringLiteral("신용카드"), "33000"},
                    {"2", "2024-01-03 09:12:45", QStringLiteral("실시간계좌이체"), "30000"}};

const std::string kThree =
    R"({"list":[{"regdate":"a","paymethod":"CARD","amount":"1"},)"
    R"({"regdate":"b","paymethod":"CARD","amount":"2"},{"regdate":"c","paymethod":"CARD","amount":"3"}]})";

const std::string kOne = R"({"list":[{"regdate":"z","paymethod":"VACCOUNT","amount":"9"}]})";
const Rows kOneRow{{"1", "z", QStringLiteral("가상계좌"), "9"}};

const std::string kEmpty = R"({"list":[]})";

// The whole grid, the header row included.
Rows gridRows(const StringGrid* grid) {
    Rows rows;
    for (int r = 0; r < grid->gridRowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < grid->gridColCount(); ++c)
            row.append(grid->cell(c, r));
        rows.push_back(row);
    }
    return rows;
}

Rows withHeader(const Rows& data) {
    Rows rows{kHeader};
    rows.insert(rows.end(), data.begin(), data.end());
    return rows;
}

std::string printable(const Rows& rows) {
    std::string text;
    for (const QStringList& row : rows)
        text += "[" + row.join(QStringLiteral(" | ")).toStdString() + "]\n";
    return text;
}

// A server whose payment list answers the queued bodies in turn, the last one repeatedly.
class Payments : public AppFixture {
  protected:
    void setUpServer(TestServer& s) override {
        s.http().Post("/mobile/back_c/paylist.json", [this](const httplib::Request& req,
                                                            httplib::Response& res) {
            server.record(req);
            std::lock_guard<std::mutex> lock(mutex_);
            const Answer a = answers_.empty() ? Answer{kEmpty, 200} : answers_.front();
            if (answers_.size() > 1)
                answers_.erase(answers_.begin());
            res.status = a.status;
            res.set_content(a.body, "application/json");
        });
    }
    void SetUp() override {
        AppFixture::SetUp();
        state(window).UserInfo.UserID = QStringLiteral("  demo01 ");
    }
    void TearDown() override {
        delete FPaymentList;
        AppFixture::TearDown();
    }

    void answerWith(std::vector<std::string> bodies, int status = 200) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.clear();
        for (std::string& body : bodies)
            answers_.push_back(Answer{std::move(body), status});
    }
    std::size_t listRequests() const {
        std::size_t n = 0;
        for (const TestServer::Request& r : server.requests())
            n += r.path == "/mobile/back_c/paylist.json" ? 1 : 0;
        return n;
    }
    StringGrid* grid() const { return UI(FPaymentList, StringGrid1); }

  private:
    struct Answer {
        std::string body;
        int status;
    };
    std::mutex mutex_;
    std::vector<Answer> answers_;
};

TEST(PayMethodNames, KnownCodesInAnyLetterCaseOthersAsSent) {
    const std::pair<const char*, QString> cases[] = {
        {"CARD", QStringLiteral("신용카드")},
        {"card", QStringLiteral("신용카드")},
        {"vCard", QStringLiteral("신용카드(ISP)")},
        {"VACCOUNT", QStringLiteral("가상계좌")},
        {"Bank", QStringLiteral("실시간계좌이체")},
        {"Point", QStringLiteral("Point")},
        {"", QString()},
        {" CARD", QStringLiteral(" CARD")},
        // Only a to z change case: a dotless or accented letter is not folded into a code.
        {"BANK\xC4\xB1", QString::fromUtf8("BANK\xC4\xB1")},
        {"cardx", QStringLiteral("cardx")},
    };
    for (const auto& [code, name] : cases) {
        EXPECT_EQ(payMethodName(QString::fromUtf8(code)), name) << code;
    }
}

TEST_F(Payments, CreationSendsTrimmedIdAndSetsUpTheGrid) {
    answerWith({kTwo});
    new TFPaymentList(window.get());
    ASSERT_NE(FPaymentList, nullptr);
    const TestServer::Request r = server.lastRequest();
    EXPECT_EQ(r.path, "/mobile/back_c/paylist.json");
    EXPECT_EQ(r.body, "mem_ID=demo01");
    EXPECT_EQ(listRequests(), 1u);

    StringGrid* g = grid();
    EXPECT_EQ(gridRows(g), withHeader(kTwoRows)) << printable(gridRows(g));
    EXPECT_EQ(FPaymentList->windowTitle(), QStringLiteral("결제 내역 확인하기"));
    for (auto [col, width] : {std::pair{0, 40}, {1, 180}, {2, 180}, {3, 180}})
        EXPECT_EQ(g->colWidth(col), width) << col;
    EXPECT_EQ(g->verticalHeader()->sectionSize(0), 24);
    EXPECT_EQ(g->horizontalHeader()->height(), 24);
    EXPECT_EQ(g->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(g->selectionBehavior(), QAbstractItemView::SelectRows);
    for (const QHeaderView* h : {g->horizontalHeader(), g->verticalHeader()})
        EXPECT_EQ(h->sectionResizeMode(0), QHeaderView::Fixed);
    EXPECT_TRUE(fake.boxes.isEmpty());
}

struct ListCase {
    const char* name;
    std::string answer;
    int status;
    Rows rows;           // the data rows after creation
    QStringList errors;  // standard error boxes, as shown
};

void PrintTo(const ListCase& c, std::ostream* os) {
    *os << c.name;
}

class PaymentAnswers : public Payments, public ::testing::WithParamInterface<ListCase> {};

TEST_P(PaymentAnswers, FillTheNewWindow) {
    const ListCase& c = GetParam();
    answerWith({c.answer}, c.status);
    new TFPaymentList(window.get());
    ASSERT_NE(FPaymentList, nullptr) << "a failed fetch must still leave the window";
    EXPECT_EQ(gridRows(grid()), withHeader(c.rows)) << printable(gridRows(grid()));
    EXPECT_EQ(fake.errorTexts(), c.errors);
    EXPECT_TRUE(fake.messageTexts().isEmpty());
    EXPECT_TRUE(logLines().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PaymentAnswers,
    ::testing::Values(
        ListCase{"TwoPaymentsWithMethodNames", kTwo, 200, kTwoRows, {}},
        ListCase{"UnknownCodeShownAsSent",
                 R"({"list":[{"regdate":"d","paymethod":"Point","amount":"1"}]})",
                 200,
                 {{"1", "d", "Point", "1"}},
                 {}},
        ListCase{"AmountsAsWritten",
                 R"({"list":[{"regdate":"d","paymethod":"BANK","amount":33000},)"
                 R"({"regdate":"d","paymethod":"BANK","amount":"₩33,000"},)"
                 R"({"regdate":null,"paymethod":"BANK","amount":1.50}]})",
                 200,
                 {{"1", "d", QStringLiteral("실시간계좌이체"), "33000"},
                  {"2", "d", QStringLiteral("실시간계좌이체"), QStringLiteral("₩33,000")},
                  {"3", "", QStringLiteral("실시간계좌이체"), "1.50"}},
                 {}},
        ListCase{"EmptyListLeavesOneEmptyRow", kEmpty, 200, {kEmptyRow}, {}},
        ListCase{"NotJsonChangesNothing", "<html>busy</html>", 200, {kEmptyRow}, {}},
        ListCase{"HttpErrorChangesNothing", kTwo, 500, {kEmptyRow}, {}},
        ListCase{
            "MissingListReported", R"({"data":[]})", 200, {kEmptyRow}, {"Value 'list' not found."}},
        ListCase{"ListNotAnArrayReported",
                 R"({"list":{}})",
                 200,
                 {kEmptyRow},
                 {"Conversion from object to array is not supported."}},
        // A text, number or null gets its numbered row before reading fails on it.
        ListCase{
            "TextElementNumberedThenReported",
            R"({"list":[{"regdate":"a","paymethod":"CARD","amount":"1"},"x",{"regdate":"c"}]})",
            200,
            {{"1", "a", QStringLiteral("신용카드"), "1"}, {"2", "", "", ""}},
            {"Value 'regdate' not found."}},
        ListCase{"NullElementNumberedThenReported",
                 R"({"list":[null]})",
                 200,
                 {{"1", "", "", ""}},
                 {"Value 'regdate' not found."}},
        // An array fails before a row is added for it.
        ListCase{"ArrayElementReportedWithoutARow",
                 R"({"list":[{"regdate":"a","paymethod":"CARD","amount":"1"},["x"]]})",
                 200,
                 {{"1", "a", QStringLiteral("신용카드"), "1"}},
                 {"Conversion from array to object is not supported."}},
        ListCase{"CellsBeforeAMissingKeyStay",
                 R"({"list":[{"regdate":"a","paymethod":"bank"}]})",
                 200,
                 {{"1", "a", QStringLiteral("실시간계좌이체"), ""}},
                 {"Value 'amount' not found."}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReloadCase {
    const char* name;
    std::string first;
    std::string second;
    Rows rows;  // after the reload
    QStringList errors;
};

void PrintTo(const ReloadCase& c, std::ostream* os) {
    *os << c.name;
}

class PaymentReload : public Payments, public ::testing::WithParamInterface<ReloadCase> {};

TEST_P(PaymentReload, TitlePanelFetchesAgain) {
    const ReloadCase& c = GetParam();
    answerWith({c.first, c.second});
    new TFPaymentList(window.get());
    ASSERT_NE(FPaymentList, nullptr);
    emit UI(FPaymentList, Panel1)->clicked();
    EXPECT_EQ(listRequests(), 2u);
    EXPECT_EQ(server.lastRequest().body, "mem_ID=demo01");
    EXPECT_EQ(gridRows(grid()), withHeader(c.rows)) << printable(gridRows(grid()));
    EXPECT_EQ(fake.errorTexts(), c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PaymentReload,
    ::testing::Values(ReloadCase{"FewerPaymentsLeaveNoRowsOver", kThree, kOne, kOneRow, {}},
                      ReloadCase{"MorePaymentsAddRows", kOne, kTwo, kTwoRows, {}},
                      ReloadCase{"EmptyListKeepsTheRowsOnScreen", kTwo, kEmpty, kTwoRows, {}},
                      ReloadCase{"NotJsonKeepsTheRowsOnScreen", kTwo, "oops", kTwoRows, {}},
                      // The first row is reused: a failing element must not sit beside stale cells.
                      ReloadCase{"FailingFirstElementLeavesNoStaleCells",
                                 kTwo,
                                 R"({"list":[7]})",
                                 {{"1", "", "", ""}},
                                 {"Value 'regdate' not found."}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Payments, AnswerWithoutAWindowIsPassedOver) {
    ASSERT_EQ(FPaymentList, nullptr);
    EXPECT_TRUE(window->FuPaymentList(QString::fromStdString(kTwo)));
    // Elements are not read without a window, so a bad one does not fail either.
    EXPECT_NO_THROW(window->FuPaymentList(QStringLiteral(R"({"list":["x",[1]]})")));
}

// Opens the history from the main window's button; `whileOpen` runs inside the modal loop
// and must close the window. Tells whether FPaymentList was empty as soon as the button's
// handler returned, before the closed window was released.
bool openHistory(TFMain* main, const std::function<void()>& whileOpen) {
    bool ran = false;
    // Once the window is up: timers also run while its creation waits for the list.
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!FPaymentList || !FPaymentList->isVisible())
            return;
        poll.stop();
        ran = true;
        whileOpen();
    });
    poll.start();
    emit UI(main, Image4)->clicked();
    EXPECT_TRUE(ran);
    const bool emptied = FPaymentList == nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return emptied;
}

TEST_F(Payments, EveryWayOfClosingReleasesAndReopeningStartsAfresh) {
    answerWith({kTwo, kEmpty});
    const std::vector<std::pair<const char*, std::function<void(TFPaymentList*)>>> closers = {
        {"exit panel", [](TFPaymentList* w) { emit UI(w, Panel3)->clicked(); }},
        {"title bar", [](TFPaymentList* w) { w->close(); }},
        {"escape key",
         [](TFPaymentList* w) {
             QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QCoreApplication::sendEvent(w, &press);
         }},
    };
    std::size_t opened = 0;
    for (const auto& [how, closeIt] : closers) {
        QPointer<TFPaymentList> shown;
        const bool emptied = openHistory(window.get(), [&, &closeIt = closeIt] {
            shown = FPaymentList;
            ASSERT_NE(shown, nullptr);
            EXPECT_TRUE(shown->isVisible());
            EXPECT_TRUE(shown->isModal());
            // The first opening shows its two payments; each later one a new, empty grid.
            EXPECT_EQ(gridRows(grid()), withHeader(opened == 0 ? kTwoRows : Rows{kEmptyRow}))
                << how;
            closeIt(shown);
        });
        ++opened;
        EXPECT_TRUE(emptied) << how;
        EXPECT_EQ(FPaymentList, nullptr) << how;
        EXPECT_TRUE(shown.isNull()) << how << ": the window was not released";
        EXPECT_EQ(listRequests(), opened) << how;
    }
    EXPECT_TRUE(fake.boxes.isEmpty());
}

// Shown without the modal loop, the window is released later; the reference is emptied as
// soon as it closes.
TEST_F(Payments, ClosingEmptiesTheReferenceAtOnce) {
    QPointer<TFPaymentList> w = new TFPaymentList(window.get());
    w->show();
    emit UI(w, Panel3)->clicked();
    EXPECT_EQ(FPaymentList, nullptr);
    EXPECT_FALSE(w.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(w.isNull());
}

TEST_F(Payments, WindowOpensAfterAFailedFetch) {
    Config::instance().serviceHost = QStringLiteral("127.0.0.1:1");
    bool shown = false;
    EXPECT_TRUE(openHistory(window.get(), [&] {
        ASSERT_NE(FPaymentList, nullptr);
        shown = FPaymentList->isVisible();
        EXPECT_EQ(gridRows(grid()), withHeader({kEmptyRow}));
        FPaymentList->close();
    }));
    EXPECT_TRUE(shown);
    ASSERT_EQ(fake.errorTexts().size(), 1);
    EXPECT_EQ(fake.boxes.front().caption, platform::applicationTitle());
}

}  // namespace
