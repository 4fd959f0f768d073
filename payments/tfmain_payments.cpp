#include "app/tfmain.h"
#include "app/widgets.h"
#include "base/errors.h"
#include "payments/pay_method.h"
#include "payments/payment_answer.h"
#include "payments/tfpaymentlist.h"

bool TFMain::FuPaymentList(const QString& JsonString) {
    const std::optional<PaymentAnswer> answer = readPaymentAnswer(JsonString);
    if (!answer)
        return false;
    if (!FPaymentList)
        return true;
    for (int index = 0; index < answer->elements.size(); ++index) {
        const PaymentElement& element = answer->elements.at(index);
        const int i = index + 1;
        if (element.isArray)
            throw JsonAccessError(*element.error);
        StringGrid* grid = FPaymentList->grid();
        grid->setGridRowCount(i + 1);
        grid->setCell(0, i, QString::number(i));
        // Row 1 survives a reload: an element that fails must not leave the earlier
        // answer's cells beside its new number.
        for (int col = 1; col < 4; ++col)
            grid->setCell(col, i, QString());
        for (int col = 1; col <= element.cells.size(); ++col) {
            const QString& cell = element.cells.at(col - 1);
            grid->setCell(col, i, col == 2 ? payMethodName(cell) : cell);
        }
        if (element.error)
            throw JsonAccessError(*element.error);
    }
    return true;
}

void TFMain::Image4Click() {
    if (!FPaymentList) {
        new TFPaymentList(this);
    }
    FPaymentList->exec();
}
