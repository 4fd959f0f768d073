#include "app/tfmain.h"
#include "payments/tfpaymentlist.h"

bool TFMain::FuPaymentList(const QString&) {
    return false;
}

void TFMain::Image4Click() {
    if (!FPaymentList) {
        new TFPaymentList(this);
    }
    FPaymentList->exec();
}
