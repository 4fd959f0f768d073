#include "app/tfmain.h"
#include "app/widgets.h"
#include "base/errors.h"
#include "payments/pay_method.h"
#include "payments/tfpaymentlist.h"
#include "service/json_answer.h"

bool TFMain::FuPaymentList(const QString& JsonString) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(JsonString);
    if (!answer)
        return false;
    const JsonNode list = answer->array("list");
    for (int index = 0; index < list.size(); ++index) {
        const int i = index + 1;
        if (!FPaymentList)
            continue;
        const JsonNode element = list.at(index);
        if (element.isArray()) {
            throw JsonAccessError(
                QStringLiteral("Conversion from array to object is not supported"));
        }
        StringGrid* grid = FPaymentList->grid();
        grid->setGridRowCount(i + 1);
        grid->setCell(0, i, QString::number(i));
        // Row 1 survives a reload: an element that fails must not leave the earlier
        // answer's cells beside its new number.
        for (int col = 1; col < 4; ++col)
            grid->setCell(col, i, QString());
        grid->setCell(1, i, element.text("regdate"));
        grid->setCell(2, i, payMethodName(element.text("paymethod")));
        grid->setCell(3, i, element.text("amount"));
    }
    return true;
}

void TFMain::Image4Click() {
    if (!FPaymentList) {
        new TFPaymentList(this);
    }
    FPaymentList->exec();
}
