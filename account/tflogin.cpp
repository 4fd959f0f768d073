#include "account/tflogin.h"

#include <QFile>
#include <QKeyEvent>

#include "account/saved_login.h"
#include "account/tfmember.h"
#include "app/guard.h"
#include "app/tfmain.h"
#include "app/widgets.h"
#include "base/text.h"
#include "platform/platform.h"
#include "service/addresses.h"
#include "service/config.h"
#include "ui_tflogin.h"

TFLogin* FLogin = nullptr;

TFLogin::TFLogin(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TFLogin>()) {
    FLogin = this;
    loadWindowResources();
    // Before the layout: set afterwards, the flags make every control styled a second time.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(331, 374);
    window_fit::placeOnScreen(this);
    setWindowTitle(QStringLiteral("  로그인"));

    showPasswordAsHashes(ui->LabeledEdit2);
    placeCaptionLeftOf(ui->LabeledEdit1Label, ui->LabeledEdit1);
    placeCaptionLeftOf(ui->LabeledEdit2Label, ui->LabeledEdit2);
    ui->Panel2->setText(Config::instance().serviceHost + QStringLiteral(" 홈페이지  바로 가기"));
    // Tab runs from the fields to the login button; the links come last.
    const QList<QWidget*> order{ui->LabeledEdit1, ui->LabeledEdit2, ui->CheckBox1, ui->Panel5,
                                ui->Panel6,       ui->Panel7,       ui->Image2,    ui->Panel2};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));

    connectGuarded(ui->Panel5, &ClickLabel::clicked, this, [this] { Panel5Click(); });
    connectGuarded(ui->Panel6, &ClickLabel::clicked, this, [this] { Panel6Click(); });
    connectGuarded(ui->Panel7, &ClickLabel::clicked, this, [this] { Panel7Click(); });
    connectGuarded(ui->Panel2, &ClickLabel::clicked, this, [this] { Panel2Click(); });
    connectGuarded(ui->Image2, &ClickLabel::clicked, this, [this] { Image2Click(); });

    runGuarded([this] { FormCreate(); });
}

TFLogin::~TFLogin() {
    if (FLogin == this)
        FLogin = nullptr;
}

void TFLogin::FormCreate() {
    std::optional<QStringList> lines = saved_login::read(platform::current().savedLoginPath());
    if (!lines) {
        if (const auto former = platform::current().formerSavedLoginPath())
            lines = saved_login::read(*former);
    }
    if (!lines)
        return;
    if (lines->size() < 1)
        return;
    ui->LabeledEdit1->setText(lines->at(0));
    if (lines->size() < 2)
        return;
    ui->LabeledEdit2->setText(lines->at(1));
    ui->CheckBox1->setChecked(true);
}

void TFLogin::Panel5Click() {
    const QStringList params{
        QStringLiteral("mem_ID=") + trimBlanksAndControls(ui->LabeledEdit1->text()),
        QStringLiteral("mem_pw=") + trimBlanksAndControls(ui->LabeledEdit2->text())};
    if (FMain->FHttpPost(addresses::serviceRequest(QStringLiteral("back_c/getLogin.json")), params,
                         1)) {
        FMain->acceptLogin(ui->LabeledEdit1->text(), ui->LabeledEdit2->text());
        saved_login::keepAfterLogin(
            platform::current().savedLoginPath(), platform::current().formerSavedLoginPath(),
            ui->CheckBox1->isChecked(), ui->LabeledEdit1->text(), ui->LabeledEdit2->text());
        accept();
    } else {
        platform::current().messageBox(this, QStringLiteral("아이디 , 패스워드를 확인하세요 "),
                                       FMain->messageTitle());
        FMain->showLoginRequest();
    }
}

void TFLogin::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TFLogin::Panel6Click() {
    reject();
}

void TFLogin::Panel7Click() {
    if (!FMember) {
        new TFMember(this);
    }
    FMember->exec();
}

void TFLogin::Panel2Click() {
    platform::current().openUrl(this, addresses::homepagePlain());
}

void TFLogin::Image2Click() {
    platform::current().openUrl(this, addresses::userManual());
}

void TFLogin::done(int result) {
    if (FLogin == this)
        FLogin = nullptr;
    QDialog::done(result);
}
