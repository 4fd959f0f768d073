// The sign-up window: leaving fields, the duplicate-ID check, the save and the join, the links
// and how the window is left and opened again.
#include <QFocusEvent>
#include <QStyle>
#include <QTimer>

#include "account/tflogin.h"
#include "support/controls.h"
#include "support/main_window_state.h"
#include "test_member_fixture.h"
#include "ui_tflogin.h"

namespace {

class MemberWindow : public MemberFixture {};

struct LeaveCase {
    const char* name;
    int field;  // 4: ID, 5: password, 1: birth date
    QString text;
    Qt::FocusReason reason;
    QStringList boxes;
};

class LeavingAField : public MemberFixture, public ::testing::WithParamInterface<LeaveCase> {};

TEST_P(LeavingAField, ChecksWhatTheFieldHolds) {
    const LeaveCase& c = GetParam();
    TFMember* m = open();
    QLineEdit* edit = c.field == 4   ? UI(m, LabeledEdit4)
                      : c.field == 5 ? UI(m, LabeledEdit5)
                                     : UI(m, LabeledEdit1);
    edit->setText(c.text);
    QFocusEvent out(QEvent::FocusOut, c.reason);
    QCoreApplication::sendEvent(edit, &out);
    EXPECT_EQ(fake.messageTexts(), c.boxes);
    EXPECT_EQ(edit->text(), c.text);
    EXPECT_TRUE(memberLog(m).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LeavingAField,
    ::testing::Values(
        LeaveCase{"IdWithRefusedCharacter",
                  4,
                  "ab!c",
                  Qt::TabFocusReason,
                  {"!특수문자를 사용할수 없습니다. "}},
        LeaveCase{"IdEmailPasses", 4, "user@mail.com", Qt::MouseFocusReason, {}},
        LeaveCase{
            "PasswordWithAt", 5, "pa@ss", Qt::TabFocusReason, {"@특수문자를 사용할수 없습니다. "}},
        LeaveCase{"PasswordAtAndLaterExclamation",
                  5,
                  "pa@ss!",
                  Qt::TabFocusReason,
                  {"!특수문자를 사용할수 없습니다. "}},
        LeaveCase{
            "BirthDateEmpty", 1, "", Qt::TabFocusReason, {"생년월일 입력 양식을 맞추어 주세요 "}},
        LeaveCase{"BirthDateOneDigitMonth",
                  1,
                  "1990-3-30",
                  Qt::MouseFocusReason,
                  {"생년월일 입력 양식을 맞추어 주세요 "}},
        LeaveCase{"BirthDateNoSuchDay",
                  1,
                  "1990-02-30",
                  Qt::TabFocusReason,
                  {"생년월일 입력 양식을 맞추어 주세요 "}},
        LeaveCase{"BirthDateValid", 1, "1990-03-30", Qt::TabFocusReason, {}},
        // Another window coming up, a message box among them, is not leaving the field.
        LeaveCase{"OtherWindowActivated", 1, "", Qt::ActiveWindowFocusReason, {}},
        LeaveCase{"PopupOpened", 4, "ab!c", Qt::PopupFocusReason, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct DupCase {
    const char* name;
    QString id;
    int status;
    std::string answer;
    bool idCheckBefore;
    std::string sentBody;  // empty: no request
    QStringList boxes;
    QStringList log;
    bool idCheckAfter;
    QString fieldAfter;
    QStringList errors;
};

class DuplicateCheck : public MemberFixture, public ::testing::WithParamInterface<DupCase> {};

TEST_P(DuplicateCheck, AsTheIdAndTheAnswerSay) {
    const DupCase& c = GetParam();
    reply(kDupIdPath, c.answer, c.status);
    TFMember* m = open();
    UI(m, LabeledEdit4)->setText(c.id);
    state(window).UserInfo.idCheck = c.idCheckBefore;
    UI(m, Panel2)->clicked();  // through the guard, as a real click

    const auto sent = requestsTo(kDupIdPath);
    if (c.sentBody.empty()) {
        EXPECT_TRUE(sent.empty());
    } else {
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].body, c.sentBody);
    }
    EXPECT_EQ(fake.messageTexts(), c.boxes);
    EXPECT_EQ(memberLog(m), c.log);
    EXPECT_TRUE(logLines().isEmpty()) << "the main window's log is not the sign-up log";
    EXPECT_EQ(state(window).UserInfo.idCheck, c.idCheckAfter);
    EXPECT_EQ(UI(m, LabeledEdit4)->text(), c.fieldAfter);
    EXPECT_EQ(fake.errorTexts(), c.errors);
    for (const FakePlatform::Box& box : fake.boxes) {
        if (!box.error) {
            EXPECT_EQ(box.caption, "DrivoroV3 - 후면단속  업데이트 매니저 V1.4");
        }
    }
}

const char* kFree = R"({"flag":"true","msg":"사용 가능"})";
const QString kShort = "아이디를6자리 이상을 입력하세요";
const QString kHangul = "한글을ID를 사용하지 마세요 ";
const QString kAvailable = "사용가능한  아이디 입니다. ";
const QString kTaken = "중복된 아이디 입니다. ";

INSTANTIATE_TEST_SUITE_P(
    Cases, DuplicateCheck,
    ::testing::Values(
        DupCase{"FiveLetters",
                "abcde",
                200,
                kFree,
                false,
                "",
                {kShort},
                {" " + kShort},
                false,
                "abcde",
                {}},
        DupCase{"ThreeHangulSyllables",
                "가나다",
                200,
                kFree,
                false,
                "",
                {kHangul},
                {" " + kHangul},
                false,
                "",
                {}},
        DupCase{"TwoHangulSyllables",
                "가나",
                200,
                kFree,
                false,
                "",
                {kShort},
                {" " + kShort},
                false,
                "가나",
                {}},
        DupCase{"RefusedCharacter",
                "abc!def",
                200,
                kFree,
                false,
                "",
                {"!특수문자를 사용할수 없습니다. "},
                {},
                false,
                "abc!def",
                {}},
        DupCase{"LeadingBlankCountsAndIsTrimmed",
                " abcde",
                200,
                kFree,
                false,
                "mem_ID=abcde",
                {kAvailable},
                {"사용 가능"},
                true,
                " abcde",
                {}},
        DupCase{"EmailAddress",
                "user@mail.com",
                200,
                kFree,
                false,
                "mem_ID=user%40mail.com",
                {kAvailable},
                {"사용 가능"},
                true,
                "user@mail.com",
                {}},
        DupCase{"FlagUpperCase",
                "abcdef",
                200,
                R"({"flag":"TRUE","msg":"ok"})",
                false,
                "mem_ID=abcdef",
                {kAvailable},
                {"ok"},
                true,
                "abcdef",
                {}},
        DupCase{"FlagJsonTrue",
                "abcdef",
                200,
                R"({"flag":true,"msg":"ok"})",
                false,
                "mem_ID=abcdef",
                {kAvailable},
                {"ok"},
                true,
                "abcdef",
                {}},
        DupCase{"TakenLogsTheFlagNotTheMsg",
                "abcdef",
                200,
                R"({"flag":"N","msg":"taken"})",
                true,
                "mem_ID=abcdef",
                {kTaken},
                {"N"},
                false,
                "abcdef",
                {}},
        DupCase{"TakenWithoutMsg",
                "abcdef",
                200,
                R"({"flag":"false"})",
                true,
                "mem_ID=abcdef",
                {kTaken},
                {"false"},
                false,
                "abcdef",
                {}},
        DupCase{"NotJson",
                "abcdef",
                200,
                "<html>busy</html>",
                true,
                "mem_ID=abcdef",
                {},
                {},
                true,
                "abcdef",
                {}},
        DupCase{
            "NotFound", "abcdef", 404, kFree, true, "mem_ID=abcdef", {}, {}, true, "abcdef", {}},
        DupCase{"MissingFlag",
                "abcdef",
                200,
                R"({"msg":"x"})",
                true,
                "mem_ID=abcdef",
                {},
                {},
                true,
                "abcdef",
                {"Value 'flag' not found."}},
        DupCase{"FreeWithoutMsg",
                "abcdef",
                200,
                R"({"flag":"true"})",
                false,
                "mem_ID=abcdef",
                {},
                {},
                false,
                "abcdef",
                {"Value 'msg' not found."}}),
    [](const auto& info) { return std::string(info.param.name); });

// Each save step refuses alone: everything else is as the save wants it.
struct RefusalCase {
    const char* name;
    std::function<void(TFMember*, TFMain*)> breakIt;
    QStringList log;  // lines the save adds, newest first
    QStringList boxes;
};

class SaveRefusal : public MemberFixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SaveRefusal, StopsAtItsStep) {
    const RefusalCase& c = GetParam();
    TFMember* m = open();
    fillValid(m);
    ASSERT_TRUE(state(window).UserInfo.idCheck);
    const QStringList before = memberLog(m);
    fake.boxes.clear();
    c.breakIt(m, window.get());
    UI(m, Panel8)->clicked();
    EXPECT_EQ(memberLog(m), c.log + before);
    EXPECT_EQ(fake.messageTexts(), c.boxes);
    EXPECT_TRUE(requestsTo(kJoinPath).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaveRefusal,
    ::testing::Values(
        RefusalCase{"TermsNotAgreed",
                    [](TFMember* m, TFMain*) { UI(m, CheckBox1)->setChecked(false); },
                    {"이용약관 동의하기를 체크해 주세요 "},
                    {}},
        RefusalCase{"IdNotChecked",
                    [](TFMember*, TFMain* w) { state(w).UserInfo.idCheck = false; },
                    {"아이디 중복체크를 주세요 "},
                    {}},
        RefusalCase{"IdEditedAfterTheCheck",
                    [](TFMember* m, TFMain*) { UI(m, LabeledEdit4)->setText("otheruser"); },
                    {"아이디 중복체크를 주세요 "},
                    {}},
        RefusalCase{"IdWithRefusedCharacter",
                    [](TFMember* m, TFMain* w) {
                        UI(m, LabeledEdit4)->setText("new#user");
                        state(w).UserInfo.idCheck = true;
                    },
                    {},
                    {"#특수문자를 사용할수 없습니다. "}},
        RefusalCase{"PasswordWithAt",
                    [](TFMember* m, TFMain*) {
                        UI(m, LabeledEdit5)->setText("pass@word1");
                        UI(m, LabeledEdit6)->setText("pass@word1");
                    },
                    {},
                    {"@특수문자를 사용할수 없습니다. "}},
        RefusalCase{"ConfirmationDiffers",
                    [](TFMember* m, TFMain*) { UI(m, LabeledEdit6)->setText("password2"); },
                    {"패스워드가 다름니다. 다시 확인해 주세요 "},
                    {}},
        RefusalCase{"ConfirmationDiffersInCase",
                    [](TFMember* m, TFMain*) { UI(m, LabeledEdit6)->setText("Password1"); },
                    {"패스워드가 다름니다. 다시 확인해 주세요 "},
                    {}},
        RefusalCase{"ConfirmationDiffersInBlanks",
                    [](TFMember* m, TFMain*) { UI(m, LabeledEdit6)->setText("password1 "); },
                    {"패스워드가 다름니다. 다시 확인해 주세요 "},
                    {}},
        RefusalCase{"PasswordTooShort",
                    [](TFMember* m, TFMain*) {
                        UI(m, LabeledEdit5)->setText("pass123");
                        UI(m, LabeledEdit6)->setText("pass123");
                    },
                    {"패스워드를 8자리 이상 입력하세요. 다시 확인해 주세요 "},
                    {}},
        RefusalCase{"NoModelChosen",
                    [](TFMember* m, TFMain*) { UI(m, ComboBox2)->setCurrentIndex(-1); },
                    {"블랙박스 모델명을 선택하세요."},
                    {}},
        RefusalCase{"BirthDateNoSuchDay",
                    [](TFMember* m, TFMain*) { UI(m, LabeledEdit1)->setText("1990-02-30"); },
                    {"생년월일(기념일)을 형식에 맞추어 다시 입력해 주세요 "},
                    {}},
        RefusalCase{"BirthDateNineCharacters",
                    [](TFMember* m, TFMain*) { UI(m, LabeledEdit1)->setText("1990-3-30"); },
                    {"생년월일(기념일)을 형식에 맞추어 다시 입력해 주세요 "},
                    {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemberWindow, SavingAnEmptyWindowAsksOnlyForTheTerms) {
    TFMember* m = open();
    m->Panel8Click();
    EXPECT_EQ(memberLog(m), QStringList{"이용약관 동의하기를 체크해 주세요 "});
    EXPECT_TRUE(fake.boxes.isEmpty());
}

TEST_F(MemberWindow, JoinSendsSixTrimmedLinesInOrder) {
    reply(
        kCataloguePath,
        R"({"list":[{"bInfo_IDX":"7","bInfo_modelName":"A"},{"bInfo_IDX":" 9 ","bInfo_modelName":"B"}]})");
    TFMember* m = open();
    fillValid(m, "  newuser1\t");
    // Eight characters with a leading blank pass the length rule and go out as seven.
    UI(m, LabeledEdit5)->setText(" passwd1");
    UI(m, LabeledEdit6)->setText(" passwd1");
    m->Panel8Click();
    const auto joins = requestsTo(kJoinPath);
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(formLines(joins[0].body),
              (QStringList{"mem_ID=newuser1", "mem_pw=passwd1", "bu_date=1990-03-30",
                           "mInfo_CODE=378", "bInfo_IDX=9", "cp_no="}));
    EXPECT_TRUE(joins[0].body.ends_with("&cp_no="));
}

TEST_F(MemberWindow, JoinAcceptedLogsMsgThenTheSaveLine) {
    TFMember* m = open();
    fillValid(m, " newuser1");
    QStringList topLineAtBox;
    fake.onBox = [&] { topLineAtBox.append(memberLog(m).value(0)); };
    m->Panel8Click();
    EXPECT_EQ(fake.messageTexts().last(), "회원 가입되었습니다. 로그인후 사용하세요. ");
    EXPECT_EQ(topLineAtBox.last(), "free") << "the box comes before the msg line";
    EXPECT_EQ(memberLog(m), (QStringList{" newuser1 님 회원가입이 되었습니다", "joined", "free"}));
    EXPECT_EQ(FMember, m);
}

TEST_F(MemberWindow, JoinRefusedLogsTheFlagThenTheSaveLine) {
    reply(kJoinPath, R"({"flag":"N","msg":"not used"})");
    TFMember* m = open();
    fillValid(m);
    QStringList topLineAtBox;
    fake.onBox = [&] { topLineAtBox.append(memberLog(m).value(0)); };
    m->Panel8Click();
    EXPECT_EQ(fake.messageTexts().last(), "회원가입이 되지 않았습니다. ");
    EXPECT_EQ(topLineAtBox.last(), "N") << "the flag line comes before the box";
    EXPECT_EQ(memberLog(m), (QStringList{" 회원가입이 되지 않았습니다 ", "N", "free"}));
}

TEST_F(MemberWindow, JoinWithoutAnswerLogsTheSaveLineOnly) {
    for (const auto& [status, body] : {std::pair{200, std::string("not json")},
                                       std::pair{500, std::string(R"({"flag":"true"})")}}) {
        reply(kJoinPath, body, status);
        TFMember* m = open();
        fillValid(m);
        fake.boxes.clear();
        m->Panel8Click();
        EXPECT_EQ(memberLog(m), (QStringList{" 회원가입이 되지 않았습니다 ", "free"})) << status;
        EXPECT_TRUE(fake.boxes.isEmpty()) << status;
    }
}

TEST_F(MemberWindow, JoinAcceptedWithoutMsgEndsInTheErrorBox) {
    reply(kJoinPath, R"({"flag":"TRUE"})");
    TFMember* m = open();
    fillValid(m);
    fake.boxes.clear();
    UI(m, Panel8)->clicked();
    EXPECT_EQ(fake.errorTexts(), QStringList{"Value 'msg' not found."});
    EXPECT_TRUE(fake.messageTexts().isEmpty());
    EXPECT_EQ(memberLog(m), QStringList{"free"});
}

TEST_F(MemberWindow, TransportFailureOfTheCheckKeepsTheFlag) {
    TFMember* m = open();
    UI(m, LabeledEdit4)->setText("abcdef");
    state(window).UserInfo.idCheck = true;
    Config::instance().serviceHost = "127.0.0.1:1";
    UI(m, Panel2)->clicked();
    EXPECT_EQ(fake.errorTexts().size(), 1);
    EXPECT_TRUE(state(window).UserInfo.idCheck);
}

TEST_F(MemberWindow, PasswordFieldsShowHashes) {
    TFMember* m = open();
    for (QLineEdit* e : {UI(m, LabeledEdit5), UI(m, LabeledEdit6)}) {
        EXPECT_EQ(e->echoMode(), QLineEdit::Password);
        EXPECT_EQ(e->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, e), '#');
    }
    EXPECT_EQ(UI(m, LabeledEdit4)->echoMode(), QLineEdit::Normal);
}

TEST_F(MemberWindow, KeyboardOrderWithinTheGroup) {
    TFMember* m = open();
    QStringList order;
    QWidget* w = UI(m, LabeledEdit4);
    for (int guard = 0; order.size() < 5 && guard < 200; ++guard) {
        if (w->focusPolicy() & Qt::TabFocus)
            order.append(w->objectName());
        w = w->nextInFocusChain();
    }
    EXPECT_EQ(order, (QStringList{"LabeledEdit4", "LabeledEdit5", "LabeledEdit6", "LabeledEdit1",
                                  "ComboBox2"}));
}

TEST_F(MemberWindow, Links) {
    TFMember* m = open();
    UI(m, Panel7)->clicked();
    UI(m, Panel10)->clicked();
    EXPECT_EQ(fake.openedUrls,
              (QStringList{"https://" + server.host() + "/pages/policy_use_back",
                           "https://" + server.host() + "/pages/policy_private_back"}));
}

// Through the login window's "회원가입", which shows the window modally.
class MemberFromLogin : public MemberFixture {
  protected:
    void TearDown() override {
        delete login.data();
        MemberFixture::TearDown();
    }
    // Opens the sign-up window and runs leave() on it while it is shown.
    void signUp(std::function<void(TFMember*)> leave) {
        // Once the window is up: timers also run while its creation waits for the catalogue.
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, login, [&poll, leave] {
            if (!FMember || !FMember->isVisible())
                return;
            poll.stop();
            leave(FMember);
        });
        poll.start();
        login->Panel7Click();
        EXPECT_FALSE(poll.isActive()) << "the window was not shown";
    }
    QPointer<TFLogin> login = new TFLogin;
};

TEST_F(MemberFromLogin, TitleBarCloseKeepsTheWindowAsItWas) {
    QPointer<TFMember> first;
    signUp([&](TFMember* m) {
        first = m;
        fillValid(m);
        m->close();
    });
    ASSERT_TRUE(first);
    EXPECT_EQ(FMember, first.data());
    EXPECT_FALSE(first->isVisible());

    signUp([&](TFMember* m) {
        EXPECT_EQ(m, first.data());
        EXPECT_EQ(UI(m, LabeledEdit4)->text(), "newuser1");
        EXPECT_EQ(UI(m, ComboBox2)->currentIndex(), 1);
        EXPECT_TRUE(UI(m, CheckBox1)->isChecked());
        EXPECT_EQ(memberLog(m), QStringList{"free"});
        m->close();
    });
    EXPECT_EQ(requestsTo(kCataloguePath).size(), 1u);
    EXPECT_TRUE(state(window).UserInfo.idCheck) << "the checked ID is still in the field";
    delete first.data();
}

TEST_F(MemberFromLogin, ExitClearsTheWindowAndTheNextOneStartsAfresh) {
    QPointer<TFMember> first;
    signUp([&](TFMember* m) {
        first = m;
        fillValid(m);
        UI(m, Panel9)->clicked();
    });
    EXPECT_EQ(FMember, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());

    signUp([&](TFMember* m) {
        EXPECT_EQ(UI(m, LabeledEdit4)->text(), "");
        EXPECT_EQ(UI(m, LabeledEdit5)->text(), "");
        EXPECT_FALSE(UI(m, CheckBox1)->isChecked());
        EXPECT_TRUE(memberLog(m).isEmpty());
        EXPECT_EQ(comboItems(m), (QStringList{"A", "B"}));
        // The new window's empty ID has passed no check.
        UI(m, CheckBox1)->setChecked(true);
        m->Panel8Click();
        EXPECT_EQ(memberLog(m), QStringList{"아이디 중복체크를 주세요 "});
        m->close();
    });
    EXPECT_EQ(requestsTo(kCataloguePath).size(), 2u);
    delete FMember;
}

}  // namespace
