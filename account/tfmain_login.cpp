// The login answer: fills the account record and the account panel.
#include "account/login_answer.h"
#include "app/tfmain.h"
#include "base/errors.h"
#include "ui_tfmain.h"

bool TFMain::getData1(const QString& JsonString) {
    const std::optional<LoginAnswer> answer = readLoginAnswer(JsonString);
    if (!answer) {
        return false;
    }
    if (!answer->accepted) {
        // A refusal without a readable message logs nothing.
        if (answer->msg)
            FMsg(ui->Memo1, *answer->msg);
        return false;
    }

    // Three groups, each stopping at its first unreadable key; a later group still runs.
    if (answer->makeName) {
        UserInfo.bb_make_Name = *answer->makeName;
        ui->LabeledEdit3->setText(UserInfo.bb_make_Name);
    }
    if (answer->makeId)
        UserInfo.bb_make_id = *answer->makeId;
    if (answer->modelName) {
        UserInfo.bb_Model_Name = *answer->modelName;
        ui->LabeledEdit4->setText(UserInfo.bb_Model_Name);
    }
    if (answer->modelId)
        UserInfo.bb_model_id = *answer->modelId;
    if (answer->startDate) {
        UserInfo.user_sDate = *answer->startDate;
        ui->LabeledEdit1->setText(UserInfo.user_sDate.left(10));
    } else {
        UserInfo.user_sDate.clear();
        ui->LabeledEdit1->clear();
    }
    if (answer->endDate) {
        UserInfo.user_eDate = *answer->endDate;
        ui->LabeledEdit2->setText(UserInfo.user_eDate.left(10));
    } else {
        UserInfo.user_eDate.clear();
        ui->LabeledEdit2->clear();
    }
    answer->record.applyTo(UserInfo);
    if (answer->record.Version)
        ui->LabeledEdit7->setText(*answer->record.Version);

    FMsg(ui->Memo1, UserInfo.bb_make_Name + QStringLiteral(" 브랜드의 ") + UserInfo.bb_Model_Name +
                        QStringLiteral(" 모델 정보로 등록되었습니다"));
    if (!answer->msg)
        throw JsonAccessError(answer->msgError);
    FMsg(ui->Memo1, *answer->msg);
    setDownloadButton(0);
    return true;
}
