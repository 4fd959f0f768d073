#include "account/login_answer.h"

#include "base/errors.h"
#include "service/json_answer.h"

std::optional<LoginAnswer> readLoginAnswer(const QString& json) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(json);
    if (!answer)
        return std::nullopt;
    LoginAnswer result;
    result.accepted = answer->success();
    const auto readMsg = [&] {
        try {
            result.msg = answer->text("msg");
        } catch (const JsonAccessError& e) {
            result.msgError = e.text();
        }
    };
    if (!result.accepted) {
        readMsg();
        return result;
    }
    try {
        for (auto [key, field] : {std::pair{"mInfo_NAME", &result.makeName},
                                  {"mInfo_CODE", &result.makeId},
                                  {"bInfo_modelName", &result.modelName},
                                  {"bInfo_IDX", &result.modelId},
                                  {"payment_Sdate", &result.startDate}}) {
            *field = answer->text(key);
        }
    } catch (const JsonAccessError&) {
    }
    try {
        result.endDate = answer->text("payment_Edate");
    } catch (const JsonAccessError&) {
    }
    result.record = readDatabaseRecord(*answer);
    readMsg();
    return result;
}
