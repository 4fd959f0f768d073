#include "account/tfmember.h"

#include <QFocusEvent>
#include <QScreen>

#include "account/catalogue_table.h"
#include "account/member_checks.h"
#include "app/guard.h"
#include "app/tfmain.h"
#include "app/widgets.h"
#include "base/text.h"
#include "platform/platform.h"
#include "service/addresses.h"
#include "ui_tfmember.h"

TFMember* FMember = nullptr;

namespace {

// Leaving a field means moving to another control of this window; a focus lost because
// another window (a message box among them) came up is not leaving it.
bool leavesField(const QEvent* event) {
    if (event->type() != QEvent::FocusOut)
        return false;
    const Qt::FocusReason reason = static_cast<const QFocusEvent*>(event)->reason();
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

}  // namespace

TFMember::TFMember(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TFMember>()) {
    FMember = this;
    loadWindowResources();
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("회원가입"));

    showPasswordAsHashes(ui->LabeledEdit5);
    showPasswordAsHashes(ui->LabeledEdit6);
    // Tab leaves the log, so that keyboard users reach the controls around it.
    ui->Memo1->setTabChangesFocus(true);
    window_fit::fitToScreen(this);

    connectGuarded(ui->Panel2, &ClickLabel::clicked, this, [this] { Panel2Click(); });
    connectGuarded(ui->Panel8, &ClickLabel::clicked, this, [this] { Panel8Click(); });
    connectGuarded(ui->Panel7, &ClickLabel::clicked, this, [this] { Panel7Click(); });
    connectGuarded(ui->Panel10, &ClickLabel::clicked, this, [this] { Panel10Click(); });
    connectGuarded(ui->Panel9, &ClickLabel::clicked, this, [this] { Panel9Click(); });
    // The duplicate-ID check holds for the ID it checked, not for whatever the field holds
    // later: any change of the ID takes the pass back.
    connect(ui->LabeledEdit4, &QLineEdit::textChanged, this, [] {
        if (FMain)
            FMain->setIdChecked(false);
    });
    for (QObject* watched :
         {static_cast<QObject*>(ui->LabeledEdit4), static_cast<QObject*>(ui->LabeledEdit5),
          static_cast<QObject*>(ui->LabeledEdit1), static_cast<QObject*>(ui->Panel1),
          static_cast<QObject*>(ui->Panel5)})
        watched->installEventFilter(this);

    // A new window starts with an empty ID, which no check has passed.
    if (FMain)
        FMain->setIdChecked(false);
    runGuarded([this] { FormCreate(); });
}

TFMember::~TFMember() {
    if (FMember == this)
        FMember = nullptr;
}

bool TFMember::eventFilter(QObject* watched, QEvent* event) {
    if (leavesField(event)) {
        if (watched == ui->LabeledEdit4)
            runGuarded([this] { LabeledEdit4Exit(); });
        else if (watched == ui->LabeledEdit5)
            runGuarded([this] { LabeledEdit5Exit(); });
        else if (watched == ui->LabeledEdit1)
            runGuarded([this] { LabeledEdit1Exit(); });
    } else if (event->type() == QEvent::MouseButtonRelease) {
        if (watched == ui->Panel1)
            runGuarded([this] { Panel1Click(); });
        else if (watched == ui->Panel5)
            runGuarded([this] { Panel5Click(); });
    }
    return QDialog::eventFilter(watched, event);
}

void TFMember::FormCreate() {
    const QStringList params{QStringLiteral("mInfo_CODE=") + QString::number(FMain->makerCode())};
    FMain->FHttpPost(
        addresses::serviceRequest(QStringLiteral("back_c/device_add_getproduct.search")), params,
        6);
}

void TFMember::showBox(const QString& text) {
    platform::current().messageBox(this, text, FMain->messageTitle());
}

void TFMember::log(const QString& text) {
    FMain->FMsg(ui->Memo1, text);
}

void TFMember::listModels(const CatalogueAnswer& catalogue) {
    listCatalogueNames(*ui->ComboBox2, catalogue);
}

bool TFMember::FIdCharCheck(const QString& Text) {
    const QChar refused = firstRefusedCharacter(Text, RefusedSet::Id);
    if (refused.isNull())
        return true;
    showBox(refusedCharacterMessage(refused));
    return false;
}

bool TFMember::FPwCharCheck(const QString& Text) {
    const QChar refused = firstRefusedCharacter(Text, RefusedSet::Password);
    if (refused.isNull())
        return true;
    showBox(refusedCharacterMessage(refused));
    return false;
}

void TFMember::LabeledEdit4Exit() {
    FIdCharCheck(ui->LabeledEdit4->text());
}

void TFMember::LabeledEdit5Exit() {
    FPwCharCheck(ui->LabeledEdit5->text());
}

void TFMember::LabeledEdit1Exit() {
    if (!isBirthDate(ui->LabeledEdit1->text()))
        showBox(QStringLiteral("생년월일 입력 양식을 맞추어 주세요 "));
}

void TFMember::Panel2Click() {
    const QString id = ui->LabeledEdit4->text();
    if (!FIdCharCheck(id))
        return;
    const AnsiIdForm ansi = ansiIdForm(id);
    if (ansi.bytes < 6) {
        showBox(QStringLiteral("아이디를6자리 이상을 입력하세요"));
        log(QStringLiteral(" 아이디를6자리 이상을 입력하세요"));
        return;
    }
    if (ansi.doubleByte) {
        showBox(QStringLiteral("한글을ID를 사용하지 마세요 "));
        log(QStringLiteral(" 한글을ID를 사용하지 마세요 "));
        ui->LabeledEdit4->clear();
        return;
    }
    const QStringList params{QStringLiteral("mem_ID=") + trimBlanksAndControls(id)};
    FMain->FHttpPost(addresses::serviceRequest(QStringLiteral("back_c/check_dupid.json")), params,
                     2);
}

void TFMember::Panel8Click() {
    const QString id = ui->LabeledEdit4->text();
    const QString password = ui->LabeledEdit5->text();
    const QString birthDate = ui->LabeledEdit1->text();
    if (!ui->CheckBox1->isChecked()) {
        log(QStringLiteral("이용약관 동의하기를 체크해 주세요 "));
        return;
    }
    if (!FMain->userInfo().idCheck) {
        log(QStringLiteral("아이디 중복체크를 주세요 "));
        return;
    }
    if (!FIdCharCheck(id) || !FPwCharCheck(password))
        return;
    if (password != ui->LabeledEdit6->text()) {
        log(QStringLiteral("패스워드가 다름니다. 다시 확인해 주세요 "));
        return;
    }
    if (password.size() < 8) {
        log(QStringLiteral("패스워드를 8자리 이상 입력하세요. 다시 확인해 주세요 "));
        return;
    }
    const int model = ui->ComboBox2->currentIndex();
    if (model < 0) {
        log(QStringLiteral("블랙박스 모델명을 선택하세요."));
        return;
    }
    if (!isBirthDate(birthDate)) {
        log(QStringLiteral("생년월일(기념일)을 형식에 맞추어 다시 입력해 주세요 "));
        return;
    }
    const QStringList params{
        QStringLiteral("mem_ID=") + trimBlanksAndControls(id),
        QStringLiteral("mem_pw=") + trimBlanksAndControls(password),
        QStringLiteral("bu_date=") + trimBlanksAndControls(birthDate),
        QStringLiteral("mInfo_CODE=") + QString::number(FMain->makerCode()),
        QStringLiteral("bInfo_IDX=") + FMain->catalogueIndexAt(model),
        QStringLiteral("cp_no="),
    };
    if (FMain->FHttpPost(addresses::serviceRequest(QStringLiteral("varbek/join.json")), params, 4))
        log(id + QStringLiteral(" 님 회원가입이 되었습니다"));
    else
        log(QStringLiteral(" 회원가입이 되지 않았습니다 "));
}

void TFMember::Panel7Click() {
    platform::current().openUrl(this, addresses::termsOfUse());
}

void TFMember::Panel10Click() {
    platform::current().openUrl(this, addresses::privacyPolicy());
}

void TFMember::Panel9Click() {
    // This window is done with; the next sign-up gets a fresh one with a new catalogue.
    if (FMember == this)
        FMember = nullptr;
    reject();
    deleteLater();
}

void TFMember::Panel1Click() {}

void TFMember::Panel5Click() {}
