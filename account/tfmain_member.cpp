// Answers of the sign-up window: the duplicate-ID check, the join and the model catalogue.
#include "account/catalogue.h"
#include "account/catalogue_table.h"
#include "account/tfmember.h"
#include "app/tfmain.h"
#include "platform/platform.h"
#include "service/json_answer.h"
#include "ui_tfmain.h"
#include "ui_tfmember.h"

namespace {

void logToMember(TFMain& main, const QString& text) {
    if (FMember)
        main.FMsg(FMember->ui->Memo1, text);
}

void memberBox(TFMain& main, const QString& text) {
    platform::current().messageBox(FMember ? static_cast<QWidget*>(FMember) : &main, text,
                                   main.sTitle);
}

}  // namespace

bool TFMain::FduCkeck(const QString& JsonString) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(JsonString);
    if (!answer)
        return false;
    const QString flag = answer->text("flag");
    if (flagMeansSuccess(flag)) {
        const QString msg = answer->text("msg");
        memberBox(*this, QStringLiteral("사용가능한  아이디 입니다. "));
        UserInfo.idCheck = true;
        logToMember(*this, msg);
        return true;
    }
    memberBox(*this, QStringLiteral("중복된 아이디 입니다. "));
    UserInfo.idCheck = false;
    logToMember(*this, flag);
    return false;
}

bool TFMain::FMemSave(const QString& JsonString) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(JsonString);
    if (!answer)
        return false;
    const QString flag = answer->text("flag");
    if (flagMeansSuccess(flag)) {
        const QString msg = answer->text("msg");
        memberBox(*this, QStringLiteral("회원 가입되었습니다. 로그인후 사용하세요. "));
        logToMember(*this, msg);
        return true;
    }
    logToMember(*this, flag);
    memberBox(*this, QStringLiteral("회원가입이 되지 않았습니다. "));
    return false;
}

bool TFMain::FbbModelList(const QString& JsonString) {
    const std::optional<CatalogueAnswer> catalogue = decodeCatalogue(JsonString);
    if (!catalogue)
        return false;
    // Table and drop-down are filled in one pass each, then a failing element is reported:
    // they hold what the element-by-element fill had stored when it stopped.
    storeCatalogue(*ui->StringGrid1, *catalogue);
    if (FMember)
        listCatalogueNames(*FMember->ui->ComboBox2, *catalogue);
    if (catalogue->failure)
        throw *catalogue->failure;
    return true;
}
