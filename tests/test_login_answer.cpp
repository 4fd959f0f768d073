// The login answer: the account record, the account panel, the log and the download button.
#include "base/errors.h"
#include "support/app_fixture.h"
#include "support/controls.h"
#include "support/main_window_state.h"

namespace {

class LoginAnswer : public AppFixture {
  protected:
    // A complete accepted answer with some keys replaced (or removed when the value is nullptr).
    static QString answer(std::initializer_list<std::pair<const char*, const char*>> changes = {}) {
        std::vector<std::pair<std::string, std::string>> keys = {
            {"flag", "\"true\""},
            {"msg", "\"환영합니다\""},
            {"mInfo_NAME", "\"MORVEL\""},
            {"mInfo_CODE", "378"},
            {"bInfo_modelName", "\"TESTCAM1\""},
            {"bInfo_IDX", "\"7\""},
            {"payment_Sdate", "\"2025-01-05 10:00:00\""},
            {"payment_Edate", "\"2026-01-04 23:59:59\""},
            {"sfd_filename", "\"rp_cam_2_5.idb\""},
            {"sfd_filepath", "\"/files/db/\""},
            {"sfd_version", "\"2.5\""},
            {"bInfo_scdown_directory", "\"root\""},
        };
        for (const auto& [key, value] : changes) {
            for (auto it = keys.begin(); it != keys.end(); ++it) {
                if (it->first == key) {
                    if (value) {
                        it->second = value;
                    } else {
                        keys.erase(it);
                    }
                    break;
                }
            }
        }
        std::string json = "{";
        for (const auto& [key, value] : keys) {
            if (json.size() > 1)
                json += ",";
            json += "\"" + key + "\":" + value;
        }
        return QString::fromStdString(json + "}");
    }

    QStringList panel() const {
        return {UI(window, LabeledEdit3)->text(), UI(window, LabeledEdit4)->text(),
                UI(window, LabeledEdit1)->text(), UI(window, LabeledEdit2)->text(),
                UI(window, LabeledEdit7)->text()};
    }
};

TEST_F(LoginAnswer, AllKeysFillRecordPanelLogAndButton) {
    EXPECT_TRUE(window->getData1(answer()));
    const TUserInfo& u = state(window).UserInfo;
    EXPECT_EQ(u.bb_make_Name, "MORVEL");
    EXPECT_EQ(u.bb_make_id, "378");
    EXPECT_EQ(u.bb_Model_Name, "TESTCAM1");
    EXPECT_EQ(u.bb_model_id, "7");
    EXPECT_EQ(u.user_sDate, "2025-01-05 10:00:00");
    EXPECT_EQ(u.user_eDate, "2026-01-04 23:59:59");
    EXPECT_EQ(u.FileName, "rp_cam_2_5.idb");
    EXPECT_EQ(u.Path, "/files/db/");
    EXPECT_EQ(u.Version, "2.5");
    EXPECT_EQ(u.DownDir, "root");
    EXPECT_EQ(panel(), (QStringList{"MORVEL", "TESTCAM1", "2025-01-05", "2026-01-04", "2.5"}));
    EXPECT_EQ(logLines(),
              (QStringList{"환영합니다", "MORVEL 브랜드의 TESTCAM1 모델 정보로 등록되었습니다"}));
    EXPECT_TRUE(UI(window, Image2)->isEnabled());
    EXPECT_EQ(UI(window, Image2)->pixmap().toImage(), state(window).ImageList1[0].toImage());
}

TEST_F(LoginAnswer, DatesShownByTheirFirstTenCharacters) {
    EXPECT_TRUE(window->getData1(
        answer({{"payment_Sdate", "\"2025-1-5\""}, {"payment_Edate", "20261231"}})));
    EXPECT_EQ(state(window).UserInfo.user_sDate, "2025-1-5");
    EXPECT_EQ(UI(window, LabeledEdit1)->text(), "2025-1-5");
    EXPECT_EQ(UI(window, LabeledEdit2)->text(), "20261231");
}

TEST_F(LoginAnswer, MissingEndDateEmptiesOnlyItsGroup) {
    state(window).UserInfo.user_eDate = "old";
    EXPECT_TRUE(window->getData1(answer({{"payment_Edate", nullptr}})));
    EXPECT_EQ(state(window).UserInfo.user_eDate, "");
    EXPECT_EQ(panel(), (QStringList{"MORVEL", "TESTCAM1", "2025-01-05", "", "2.5"}));
    EXPECT_EQ(state(window).UserInfo.DownDir, "root");
}

TEST_F(LoginAnswer, MissingBrandLeavesGroupOneAndEmptiesStartDate) {
    EXPECT_TRUE(window->getData1(answer({{"mInfo_NAME", nullptr}})));
    EXPECT_EQ(state(window).UserInfo.bb_make_id, "");
    EXPECT_EQ(state(window).UserInfo.bb_Model_Name, "");
    EXPECT_EQ(state(window).UserInfo.user_sDate, "");
    EXPECT_EQ(panel(), (QStringList{"", "", "", "2026-01-04", "2.5"}));
    EXPECT_EQ(logLines().value(1), " 브랜드의  모델 정보로 등록되었습니다");
}

TEST_F(LoginAnswer, LaterKeyMissingInGroupOneKeepsEarlierOnes) {
    state(window).UserInfo.user_sDate = "old";
    EXPECT_TRUE(window->getData1(answer({{"bInfo_IDX", nullptr}})));
    EXPECT_EQ(state(window).UserInfo.bb_Model_Name, "TESTCAM1");
    EXPECT_EQ(state(window).UserInfo.bb_model_id, "");
    EXPECT_EQ(state(window).UserInfo.user_sDate, "");
}

TEST_F(LoginAnswer, GroupThreeHasNoCleanUp) {
    state(window).UserInfo.Version = "1.0";
    state(window).UserInfo.DownDir = "OLD";
    EXPECT_TRUE(window->getData1(answer({{"sfd_version", nullptr}})));
    EXPECT_EQ(state(window).UserInfo.Path, "/files/db/");
    EXPECT_EQ(state(window).UserInfo.Version, "1.0");
    EXPECT_EQ(state(window).UserInfo.DownDir, "OLD");
}

TEST_F(LoginAnswer, NullVersionIsEmpty) {
    EXPECT_TRUE(window->getData1(answer({{"sfd_version", "null"}})));
    EXPECT_EQ(state(window).UserInfo.Version, "");
    EXPECT_EQ(UI(window, LabeledEdit7)->text(), "");
}

TEST_F(LoginAnswer, RefusalLogsMessageWhenThereIsOne) {
    struct Case {
        const char* flag;
        const char* msg;
        QStringList log;
    };
    for (const Case& c :
         {Case{"\"false\"", "\"비밀번호 오류\"", {"비밀번호 오류"}}, Case{"\"N\"", "\"x\"", {"x"}},
          Case{"\"\"", nullptr, {}}, Case{"null", "{}", {}}}) {
        UI(window, Memo1)->clear();
        EXPECT_FALSE(window->getData1(answer({{"flag", c.flag}, {"msg", c.msg}}))) << c.flag;
        EXPECT_EQ(logLines(), c.log) << c.flag;
        EXPECT_EQ(state(window).UserInfo.bb_make_Name, "");
        EXPECT_FALSE(UI(window, Image2)->isEnabled());
    }
    EXPECT_TRUE(fake.boxes.isEmpty());
}

TEST_F(LoginAnswer, NotJsonChangesNothing) {
    EXPECT_FALSE(window->getData1(QStringLiteral("<html>502 Bad Gateway</html>")));
    EXPECT_TRUE(logLines().isEmpty());
}

TEST_F(LoginAnswer, AcceptedWithoutMessageFailsAfterTakingTheAccount) {
    try {
        window->getData1(answer({{"msg", nullptr}}));
        FAIL() << "no error";
    } catch (const JsonAccessError& e) {
        EXPECT_EQ(e.text(), "Value 'msg' not found");
    }
    EXPECT_EQ(state(window).UserInfo.bb_make_Name, "MORVEL");
    EXPECT_EQ(logLines(), QStringList{"MORVEL 브랜드의 TESTCAM1 모델 정보로 등록되었습니다"});
    EXPECT_FALSE(UI(window, Image2)->isEnabled());
}

TEST_F(LoginAnswer, MissingFlagFailsBeforeAnyChange) {
    EXPECT_THROW(window->getData1(answer({{"flag", nullptr}})), JsonAccessError);
    EXPECT_EQ(state(window).UserInfo.bb_make_Name, "");
    EXPECT_TRUE(logLines().isEmpty());
}

}  // namespace
