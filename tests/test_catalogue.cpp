// The model catalogue: the request at the sign-up window's creation, the model table in the main
// window's hidden grid, the drop-down, and the index the join sends.
#include <QHeaderView>

#include "account/catalogue_table.h"
#include "app/widgets.h"
#include "support/controls.h"
#include "test_member_fixture.h"

namespace {

class Catalogue : public MemberFixture {
  protected:
    // Cells are read with the grid's own addressing: row 0 is the first model.
    QList<QStringList> table() const {
        QList<QStringList> rows;
        const StringGrid* grid = UI(window, StringGrid1);
        for (int r = 0; r < grid->gridRowCount(); ++r)
            rows.append({grid->cell(0, r), grid->cell(1, r)});
        return rows;
    }
    void seedTable(const QList<QStringList>& rows) {
        StringGrid* grid = UI(window, StringGrid1);
        grid->setGridColCount(2);
        grid->setGridRowCount(static_cast<int>(rows.size()));
        for (int r = 0; r < rows.size(); ++r) {
            for (int c = 0; c < 2; ++c)
                grid->setCell(c, r, rows[r][c]);
        }
    }
    // The view over the grid shows what the grid holds: its fixed row and column are the
    // headers, so it has one row fewer than the grid.
    void expectViewFollows() const {
        const StringGrid* grid = UI(window, StringGrid1);
        EXPECT_EQ(grid->verticalHeader()->count(), grid->gridRowCount() - 1);
        EXPECT_EQ(grid->model()->rowCount(), grid->gridRowCount() - 1);
    }
};

TEST_F(Catalogue, TwoModelsListedAndTheSecondJoinsWithItsIndex) {
    TFMember* m = open();
    const auto asked = requestsTo(kCataloguePath);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].body, "mInfo_CODE=378");
    EXPECT_EQ(comboItems(m), (QStringList{"A", "B"}));
    EXPECT_EQ(UI(m, ComboBox2)->currentIndex(), -1) << "nothing is chosen for the user";
    EXPECT_EQ(table(), (QList<QStringList>{{"7", "A"}, {"9", "B"}}));
    EXPECT_FALSE(UI(window, StringGrid1)->isVisible());
    expectViewFollows();

    fillValid(m);  // chooses B
    m->Panel8Click();
    const auto joins = requestsTo(kJoinPath);
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_TRUE(formLines(joins[0].body).contains("bInfo_IDX=9"));
    EXPECT_TRUE(fake.errorTexts().isEmpty());
}

TEST_F(Catalogue, IndexStoredAsSentAndLookedUpTrimmed) {
    reply(kCataloguePath, R"({"list":[{"bInfo_IDX":" 12\t","bInfo_modelName":"X"}]})");
    open();
    EXPECT_EQ(table(), (QList<QStringList>{{" 12\t", "X"}}));
    EXPECT_EQ(catalogueIndexAt(*UI(window, StringGrid1), 0), "12");
    EXPECT_EQ(catalogueIndexAt(*UI(window, StringGrid1), 5), "");
}

TEST_F(Catalogue, EmptyListKeepsTheTableAndTheSaveAsksForAModel) {
    reply(kCataloguePath, R"({"list":[]})");
    seedTable({{"1", "OLD1"}, {"2", "OLD2"}});
    TFMember* m = open();
    EXPECT_TRUE(comboItems(m).isEmpty());
    EXPECT_EQ(table(), (QList<QStringList>{{"1", "OLD1"}, {"2", "OLD2"}}));
    fillValid(m);
    m->Panel8Click();
    EXPECT_EQ(memberLog(m).value(0), "블랙박스 모델명을 선택하세요.");
    EXPECT_TRUE(requestsTo(kJoinPath).empty());
}

TEST_F(Catalogue, AnswerWithoutAListStillOpensTheWindow) {
    struct Case {
        std::string answer;
        QString error;
    };
    for (const Case& c :
         {Case{R"({"flag":"true"})", "Value 'list' not found."},
          Case{R"({"list":{"bInfo_IDX":"7"}})",
               "Conversion from object to array is not supported."},
          Case{R"({"list":"7"})", "Conversion from string to array is not supported."}}) {
        reply(kCataloguePath, c.answer);
        fake.boxes.clear();
        TFMember* m = open();
        EXPECT_EQ(FMember, m);
        EXPECT_EQ(fake.errorTexts(), QStringList{c.error}) << c.answer;
        EXPECT_TRUE(comboItems(m).isEmpty());
    }
}

TEST_F(Catalogue, AnswerThatIsNotJsonOrAnErrorStatusChangesNothing) {
    for (const auto& [status, body] : {std::pair{200, std::string("<html>down</html>")},
                                       std::pair{500, std::string(kTwoModels)}}) {
        reply(kCataloguePath, body, status);
        seedTable({{"1", "OLD"}});
        TFMember* m = open();
        EXPECT_TRUE(comboItems(m).isEmpty()) << status;
        EXPECT_EQ(table(), (QList<QStringList>{{"1", "OLD"}})) << status;
        EXPECT_TRUE(fake.boxes.isEmpty()) << status;
    }
}

// A failing element is reported once its forerunners are stored: the drop-down lists exactly
// those, and the failing element keeps its row with what could be read of it.
struct FailCase {
    const char* name;
    std::string list;
    QStringList names;
    QList<QStringList> table;
    QString error;
};

class CatalogueFailingElement : public Catalogue, public ::testing::WithParamInterface<FailCase> {};

TEST_P(CatalogueFailingElement, KeepsWhatWasStoredBeforeIt) {
    const FailCase& c = GetParam();
    reply(kCataloguePath, R"({"list":)" + c.list + "}");
    seedTable({{"1", "OLD1"}, {"2", "OLD2"}, {"3", "OLD3"}});
    TFMember* m = open();
    EXPECT_EQ(comboItems(m), c.names);
    EXPECT_EQ(UI(m, ComboBox2)->currentIndex(), -1);
    EXPECT_EQ(table(), c.table);
    EXPECT_EQ(fake.errorTexts(), QStringList{c.error});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CatalogueFailingElement,
    ::testing::Values(
        FailCase{
            "ThirdWithoutName",
            R"([{"bInfo_IDX":"7","bInfo_modelName":"A"},{"bInfo_IDX":"9","bInfo_modelName":"B"},)"
            R"({"bInfo_IDX":"11"},{"bInfo_IDX":"13","bInfo_modelName":"D"}])",
            {"A", "B"},
            {{"7", "A"}, {"9", "B"}, {"11", ""}},
            "Value 'bInfo_modelName' not found."},
        FailCase{"SecondNotAnObject",
                 R"([{"bInfo_IDX":"7","bInfo_modelName":"A"},"B"])",
                 {"A"},
                 {{"7", "A"}, {"", ""}},
                 "Value 'bInfo_IDX' not found."},
        FailCase{
            "SecondNameIsAnObject",
            R"([{"bInfo_IDX":"7","bInfo_modelName":"A"},{"bInfo_IDX":"9","bInfo_modelName":{}}])",
            {"A"},
            {{"7", "A"}, {"9", ""}},
            "Conversion from object to string is not supported."},
        // The first element already fails: the first row is the one the fill had reached.
        FailCase{"FirstWithoutIndex",
                 R"([{"bInfo_modelName":"A"}])",
                 {},
                 {{"1", "OLD1"}},
                 "Value 'bInfo_IDX' not found."},
        FailCase{"FirstWithoutName",
                 R"([{"bInfo_IDX":"7"}])",
                 {},
                 {{"7", "OLD1"}},
                 "Value 'bInfo_modelName' not found."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Catalogue, SecondWindowWithFewerModelsReplacesTheTable) {
    reply(
        kCataloguePath,
        R"({"list":[{"bInfo_IDX":"1","bInfo_modelName":"P"},{"bInfo_IDX":"2","bInfo_modelName":"Q"},)"
        R"({"bInfo_IDX":"3","bInfo_modelName":"R"}]})");
    TFMember* first = open();
    EXPECT_EQ(comboItems(first), (QStringList{"P", "Q", "R"}));
    first->Panel9Click();
    ASSERT_EQ(FMember, nullptr);

    reply(kCataloguePath, R"({"list":[{"bInfo_IDX":"8","bInfo_modelName":"Z"}]})");
    TFMember* second = open();
    EXPECT_EQ(requestsTo(kCataloguePath).size(), 2u);
    EXPECT_EQ(comboItems(second), QStringList{"Z"});
    EXPECT_EQ(table(), (QList<QStringList>{{"8", "Z"}}));
    expectViewFollows();
}

TEST_F(Catalogue, ASecondAnswerForTheSameWindowListsOnlyItsOwnModels) {
    TFMember* m = open();
    window->FbbModelList(R"({"list":[{"bInfo_IDX":"5","bInfo_modelName":"C"}]})");
    EXPECT_EQ(comboItems(m), QStringList{"C"});
    EXPECT_EQ(table(), (QList<QStringList>{{"5", "C"}}));
}

TEST_F(Catalogue, WithoutASignUpWindowOnlyTheTableIsFilled) {
    EXPECT_TRUE(window->FbbModelList(kTwoModels));
    EXPECT_EQ(table(), (QList<QStringList>{{"7", "A"}, {"9", "B"}}));
}

}  // namespace
