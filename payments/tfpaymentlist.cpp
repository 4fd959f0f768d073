#include "payments/tfpaymentlist.h"

TFPaymentList* FPaymentList = nullptr;

TFPaymentList::TFPaymentList(QWidget* parent) : QDialog(parent) {
    FPaymentList = this;
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("결제 내역 확인하기"));
}

TFPaymentList::~TFPaymentList() {
    if (FPaymentList == this)
        FPaymentList = nullptr;
}
