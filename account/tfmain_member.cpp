// Answers of the sign-up window: the duplicate-ID check, the join and the model catalogue.
#include "account/catalogue.h"
#include "account/catalogue_table.h"
#include "account/tfmember.h"
#include "app/tfmain.h"
#include "platform/platform.h"
#include "service/json_answer.h"
#include "ui_tfmain.h"

namespace {

void logToMember(const QString& text) {
    if (FMember)
        FMember->log(text);
}

void memberBox(TFMain& main, const QString& text) {
    platform::current().messageBox(FMember ? static_cast<QWidget*>(FMember) : &main, text,
                                   main.messageTitle());
}

}  // namespace

bool TFMain::FduCkeck(const QString& JsonString) {
    const std::optional<FlagAnswer> answer = readFlagAnswer(JsonString);
    if (!answer)
        return false;
    memberBox(*this, answer->accepted ? QStringLiteral("사용가능한  아이디 입니다. ")
                                      : QStringLiteral("중복된 아이디 입니다. "));
    UserInfo.idCheck = answer->accepted;
    logToMember(answer->accepted ? answer->msg : answer->flag);
    return answer->accepted;
}

bool TFMain::FMemSave(const QString& JsonString) {
    const std::optional<FlagAnswer> answer = readFlagAnswer(JsonString);
    if (!answer)
        return false;
    if (answer->accepted) {
        memberBox(*this, QStringLiteral("회원 가입되었습니다. 로그인후 사용하세요. "));
        logToMember(answer->msg);
    } else {
        logToMember(answer->flag);
        memberBox(*this, QStringLiteral("회원가입이 되지 않았습니다. "));
    }
    return answer->accepted;
}

bool TFMain::FbbModelList(const QString& JsonString) {
    const std::optional<CatalogueAnswer> catalogue = decodeCatalogue(JsonString);
    if (!catalogue)
        return false;
    // Table and drop-down are filled in one pass each, then a failing element is reported:
    // they hold what the element-by-element fill had stored when it stopped.
    storeCatalogue(*ui->StringGrid1, *catalogue);
    if (FMember)
        FMember->listModels(*catalogue);
    if (catalogue->failure)
        throw *catalogue->failure;
    return true;
}

QString TFMain::catalogueIndexAt(int row) const {
    return ::catalogueIndexAt(*ui->StringGrid1, row);
}
