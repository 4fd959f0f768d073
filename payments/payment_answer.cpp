#include "payments/payment_answer.h"

#include "base/errors.h"
#include "service/json_answer.h"

std::optional<PaymentAnswer> readPaymentAnswer(const QString& json) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(json);
    if (!answer)
        return std::nullopt;
    const JsonNode list = answer->array("list");
    PaymentAnswer result;
    for (int index = 0; index < list.size(); ++index) {
        const JsonNode element = list.at(index);
        PaymentElement row;
        try {
            row.isArray = element.isArray();
            if (row.isArray) {
                throw JsonAccessError(
                    QStringLiteral("Conversion from array to object is not supported"));
            }
            for (const char* key : {"regdate", "paymethod", "amount"})
                row.cells.append(element.text(key));
        } catch (const JsonAccessError& e) {
            row.error = e.text();
        }
        const bool failed = row.error.has_value();
        result.elements.append(row);
        if (failed)
            break;
    }
    return result;
}
