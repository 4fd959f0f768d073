// The main window: its creation, the log, the click handlers and how it resizes.
#include <QPlainTextEdit>

#include "app/guard.h"
#include "base/errors.h"
#include "service/addresses.h"
#include "support/app_fixture.h"
#include "support/controls.h"
#include "support/main_window_state.h"

namespace {

class MainWindow : public AppFixture {
    void setUpServer(TestServer& s) override {
        s.answer("/mgr/api/call_banner.api", R"({"data":[]})");
    }
};

TEST_F(MainWindow, CreationSetsStateAndSendsTheBannerRequest) {
    EXPECT_EQ(addresses::MainUrl(), "http://" + server.host() + "/mobile/");
    EXPECT_EQ(state(window).sTitle, "DrivoroV3 - 후면단속  업데이트 매니저 V1.4");
    EXPECT_EQ(state(window).sExeDir, fake.exeDir);
    EXPECT_EQ(state(window).upCode, 378);
    EXPECT_EQ(window->windowTitle(), "MORVEL Drivoro 업데이트 매니저 V1.4");
    EXPECT_EQ(window->size(), QSize(566, 780));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body, "bidx=4");
    EXPECT_TRUE(fake.boxes.isEmpty());
}

TEST_F(MainWindow, LogPutsNewestLineFirstWithItsOwnTime) {
    window->FMsg(UI(window, Memo1), "A");
    fake.clock = fake.clock.addSecs(3605);
    window->FMsg(UI(window, Memo1), "B");
    window->FMsg(UI(window, Memo1), "");
    EXPECT_EQ(UI(window, Memo1)->toPlainText(), "[10:30:20] \n[10:30:20] B\n[09:30:15] A");

    QPlainTextEdit other;
    window->FMsg(&other, "C");
    EXPECT_EQ(other.toPlainText(), "[10:30:20] C");
    EXPECT_EQ(UI(window, Memo1)->toPlainText().count('\n'), 2);
}

TEST_F(MainWindow, ClicksOpenTheirPages) {
    state(window).UserInfo.UserID = "a b&c#d ";
    window->Image1Click();
    window->Image3Click();
    window->Panel6Click();
    window->Panel8Click();
    window->Panel1Click();
    const QString host = server.host();
    EXPECT_EQ(
        fake.openedUrls,
        (QStringList{
            "https://" + host,
            // escaped, so that "&" and "#" cannot change the address; nothing trimmed
            "http://" + host + "/mobile/back_c/ex_payment_loader_back?mem_ID=a%20b%26c%23d%20",
            "https://" + host + "/board/faq/list.html?board_no=3", "https://" + host}));
}

TEST_F(MainWindow, BottomBarShowsThePhoneNumbers) {
    EXPECT_EQ(UI(window, Panel8)->text(), "다운로드 사용법 문의 : " + Config::instance().helpPhone);
    EXPECT_EQ(UI(window, Panel6)->text(), "블랙박스 문의 :  " + Config::instance().enquiryPhone);
}

TEST_F(MainWindow, ResizingChangesOnlyTheLogHeight) {
    window->show();
    const auto heights = [&] {
        return std::vector<int>{UI(window, Panel10)->height(), UI(window, Panel1)->height(),
                                UI(window, Panel2)->height(),  UI(window, Panel4)->height(),
                                UI(window, Panel3)->height(),  UI(window, Panel5)->height(),
                                UI(window, Image8)->height()};
    };
    EXPECT_EQ(heights(), (std::vector<int>{39, 80, 136, 144, 93, 34, 111}));
    const int logAtDesign = UI(window, Memo1)->height();
    EXPECT_EQ(logAtDesign, 143);
    window->resize(700, 900);
    QApplication::processEvents();
    EXPECT_EQ(heights(), (std::vector<int>{39, 80, 136, 144, 93, 34, 111}));
    EXPECT_EQ(UI(window, Memo1)->height(), logAtDesign + 120);
    EXPECT_EQ(UI(window, Panel2)->width(), 700);
}

TEST(ErrorBox, AppendsFullStopAfterCharactersSortingAboveIt) {
    struct Case {
        const char* in;
        const char* out;
    };
    for (const Case c :
         {Case{"Connection refused", "Connection refused."}, Case{"done.", "done."}, Case{"", ""},
          Case{"a!", "a!"}, Case{"a-", "a-"}, Case{"a/", "a/."}, Case{"오류", "오류."},
          Case{"Value 'flag' not found", "Value 'flag' not found."}}) {
        EXPECT_EQ(platform::standardErrorText(QString::fromUtf8(c.in)), QString::fromUtf8(c.out))
            << c.in;
    }
}

TEST(Guard, FailureEndsTheActionShowsOneBoxAndCarriesOn) {
    FakePlatform fake;
    bool after = false;
    runGuarded([&] {
        throw TransportError("Could not connect to server");
        after = true;
    });
    runGuarded([] { throw std::runtime_error("plain"); });
    runGuarded([&] { after = true; });
    EXPECT_FALSE(fake.boxes.isEmpty());
    EXPECT_EQ(fake.errorTexts(), (QStringList{"Could not connect to server.", "plain."}));
    EXPECT_TRUE(after);
}

}  // namespace
