// The login answer: fills the account record and the account panel.
#include "app/tfmain.h"
#include "base/errors.h"
#include "service/database_record.h"
#include "service/json_answer.h"
#include "ui_tfmain.h"

bool TFMain::getData1(const QString& JsonString) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(JsonString);
    if (!answer) {
        return false;
    }
    if (!answer->success()) {
        try {
            FMsg(ui->Memo1, answer->text("msg"));
        } catch (const JsonAccessError&) {
            // A refusal without a readable message logs nothing.
        }
        return false;
    }

    // Three groups, each stopping at its first unreadable key; a later group still runs.
    try {
        UserInfo.bb_make_Name = answer->text("mInfo_NAME");
        ui->LabeledEdit3->setText(UserInfo.bb_make_Name);
        UserInfo.bb_make_id = answer->text("mInfo_CODE");
        UserInfo.bb_Model_Name = answer->text("bInfo_modelName");
        ui->LabeledEdit4->setText(UserInfo.bb_Model_Name);
        UserInfo.bb_model_id = answer->text("bInfo_IDX");
        UserInfo.user_sDate = answer->text("payment_Sdate");
        ui->LabeledEdit1->setText(UserInfo.user_sDate.left(10));
    } catch (const JsonAccessError&) {
        UserInfo.user_sDate.clear();
        ui->LabeledEdit1->clear();
    }
    try {
        UserInfo.user_eDate = answer->text("payment_Edate");
        ui->LabeledEdit2->setText(UserInfo.user_eDate.left(10));
    } catch (const JsonAccessError&) {
        UserInfo.user_eDate.clear();
        ui->LabeledEdit2->clear();
    }
    const DatabaseRecord record = readDatabaseRecord(*answer);
    record.applyTo(UserInfo);
    if (record.Version)
        ui->LabeledEdit7->setText(*record.Version);

    FMsg(ui->Memo1, UserInfo.bb_make_Name + QStringLiteral(" 브랜드의 ") + UserInfo.bb_Model_Name +
                        QStringLiteral(" 모델 정보로 등록되었습니다"));
    FMsg(ui->Memo1, answer->text("msg"));
    setDownloadButton(0);
    return true;
}
