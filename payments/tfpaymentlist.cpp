#include "payments/tfpaymentlist.h"

#include <QGuiApplication>
#include <QScreen>

#include "app/guard.h"
#include "app/tfmain.h"
#include "app/widgets.h"
#include "base/text.h"
#include "service/addresses.h"
#include "ui_tfpaymentlist.h"

TFPaymentList* FPaymentList = nullptr;

TFPaymentList::TFPaymentList(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TFPaymentList>()) {
    // Set first: the list arrives while the window is still being created.
    FPaymentList = this;
    loadWindowResources();
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    resize(635, 299);
    // Centred on the screen rather than over the main window.
    window_fit::fitToScreen(this);

    connectGuarded(ui->Panel1, &ClickLabel::clicked, this, [this] { Panel1Click(); });
    connectGuarded(ui->Panel3, &ClickLabel::clicked, this, [this] { Panel3Click(); });

    runGuarded([this] { FormCreate(); });
}

TFPaymentList::~TFPaymentList() {
    if (FPaymentList == this)
        FPaymentList = nullptr;
}

void TFPaymentList::FormCreate() {
    StringGrid* grid = ui->StringGrid1;
    grid->setGridRowCount(2);
    grid->setGridColCount(4);
    grid->setColWidth(0, 40);
    grid->setColWidth(1, 180);
    grid->setColWidth(2, 180);
    grid->setColWidth(3, 180);
    grid->setCell(0, 0, QStringLiteral("No"));
    grid->setCell(1, 0, QStringLiteral("결재일시"));
    grid->setCell(2, 0, QStringLiteral("결재방식"));
    grid->setCell(3, 0, QStringLiteral("결재금액"));
    Panel1Click();
}

void TFPaymentList::Panel1Click() {
    const QStringList params{QStringLiteral("mem_ID=") +
                             trimBlanksAndControls(FMain->userInfo().UserID)};
    FMain->FHttpPost(addresses::serviceRequest(QStringLiteral("back_c/paylist.json")), params, 9);
}

StringGrid* TFPaymentList::grid() const {
    return ui->StringGrid1;
}

void TFPaymentList::Panel3Click() {
    close();
}

void TFPaymentList::FormClose() {
    // WA_DeleteOnClose releases the window once the closing has finished.
    if (FPaymentList == this)
        FPaymentList = nullptr;
}

void TFPaymentList::done(int result) {
    FormClose();
    QDialog::done(result);
}
