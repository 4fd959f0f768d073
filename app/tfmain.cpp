#include "app/tfmain.h"

#include <QDir>
#include <QFocusEvent>
#include <QPlainTextEdit>
#include <QTextCursor>

#include "app/guard.h"
#include "app/request_wait.h"
#include "app/widgets.h"
#include "base/http_transfer.h"
#include "card/database_run.h"
#include "platform/platform.h"
#include "service/addresses.h"
#include "service/config.h"
#include "service/form_encoding.h"
#include "ui_tfmain.h"

TFMain* FMain = nullptr;

QString mainWindowCaption() {
    return QStringLiteral("MORVEL Drivoro 업데이트 매니저 V1.4");
}
QString messageBoxTitle() {
    return QStringLiteral("DrivoroV3 - 후면단속  업데이트 매니저 V1.4");
}

TFMain::TFMain(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TFMain>()) {
    FMain = this;
    loadWindowResources();
    std::future<QList<QImage>> decoding = decodeBuiltInPictures(
        {QStringLiteral(":/pictures/title_main.jpg"), QStringLiteral(":/pictures/logo.png"),
         QStringLiteral(":/pictures/download_on.jpg"),
         QStringLiteral(":/pictures/download_off.jpg"),
         QStringLiteral(":/pictures/btn_payment.jpg"), QStringLiteral(":/pictures/btn_history.jpg"),
         QStringLiteral(":/pictures/btn_exit.jpg"), QStringLiteral(":/pictures/phone.jpg"),
         QStringLiteral(":/pictures/banner.png")});
    ui->setupUi(this);
    setWindowTitle(mainWindowCaption());
    const QList<QImage> pictures = decoding.get();
    ui->Image7->setPixmap(QPixmap::fromImage(pictures[0]));
    ui->Image1->setPixmap(QPixmap::fromImage(pictures[1]));
    ImageList1 = {QPixmap::fromImage(pictures[2]), QPixmap::fromImage(pictures[3])};
    ui->Image2->setPixmap(ImageList1[1]);
    ui->Image3->setPixmap(QPixmap::fromImage(pictures[4]));
    ui->Image4->setPixmap(QPixmap::fromImage(pictures[5]));
    ui->Image5->setPixmap(QPixmap::fromImage(pictures[6]));
    ui->Image6->setPixmap(QPixmap::fromImage(pictures[7]));
    // Before the banner request, whose picture replaces the strip's own.
    ui->Image8->setPixmap(QPixmap::fromImage(pictures[8]));

    const Config& config = Config::instance();
    ui->Panel8->setText(QStringLiteral("다운로드 사용법 문의 : ") + config.helpPhone);
    ui->Panel6->setText(QStringLiteral("블랙박스 문의 :  ") + config.enquiryPhone);

    ui->Image2->setEnabled(false);
    // Tab leaves the log, so that keyboard users reach the controls below it.
    ui->Memo1->setTabChangesFocus(true);

    setUpCardAccess();
    connectHandlers();
    // Changes held while a request was out are applied from the event loop, once the action
    // that waited has ended.
    connect(&request_wait::notifier(), &request_wait::Notifier::idle, this, &TFMain::requestsIdle);
    connect(this, &TFMain::requestsIdle, this, &TFMain::applyHeldChanges, Qt::QueuedConnection);
    runGuarded([this] { FormCreate(); });
}

bool TFMain::requestInFlight() const {
    return request_wait::inFlight();
}

void TFMain::afterRequests(std::function<void()> change) {
    // Behind changes already held, so that they keep their order.
    if (!request_wait::inFlight() && heldChanges_.isEmpty()) {
        change();
        return;
    }
    heldChanges_.append(std::move(change));
}

void TFMain::applyHeldChanges() {
    while (!heldChanges_.isEmpty() && !request_wait::inFlight()) {
        const std::function<void()> change = heldChanges_.takeFirst();
        runGuarded(change);
    }
}

bool TFMain::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // Sizes that need the fonts of the style sheet: measured when the window is polished, which
    // the program does once the login window is up, so that start-up does not wait for them.
    if (event->type() == QEvent::Polish) {
        for (auto [caption, edit] : {std::pair{ui->LabeledEdit3Label, ui->LabeledEdit3},
                                     {ui->LabeledEdit4Label, ui->LabeledEdit4},
                                     {ui->LabeledEdit1Label, ui->LabeledEdit1},
                                     {ui->LabeledEdit2Label, ui->LabeledEdit2},
                                     {ui->LabeledEdit7Label, ui->LabeledEdit7},
                                     {ui->LabeledEdit5Label, ui->LabeledEdit5},
                                     {ui->LabeledEdit6Label, ui->LabeledEdit6}}) {
            placeCaptionLeftOf(caption, edit);
        }
        // On a short screen the log gives up its height first, but keeps three lines of its
        // own font.
        ui->Memo1->ensurePolished();
        ui->Memo1->setMinimumHeight(ui->Memo1->fontMetrics().lineSpacing() * 3 +
                                    2 * ui->Memo1->frameWidth() +
                                    2 * static_cast<int>(ui->Memo1->document()->documentMargin()));
    }
    return handled;
}

TFMain::~TFMain() {
    if (FMain == this)
        FMain = nullptr;
}

void TFMain::connectHandlers() {
    connectGuarded(ui->Image1, &ClickLabel::clicked, this, [this] { Image1Click(); });
    connectGuarded(ui->Image2, &ClickLabel::clicked, this, [this] { Image2Click(); });
    connectGuarded(ui->Image3, &ClickLabel::clicked, this, [this] { Image3Click(); });
    connectGuarded(ui->Image4, &ClickLabel::clicked, this, [this] { Image4Click(); });
    connectGuarded(ui->Image5, &ClickLabel::clicked, this, [this] { Image5Click(); });
    connectGuarded(ui->Image8, &ClickLabel::clicked, this, [this] { Image8Click(); });
    connectGuarded(ui->Panel6, &ClickLabel::clicked, this, [this] { Panel6Click(); });
    connectGuarded(ui->Panel8, &ClickLabel::clicked, this, [this] { Panel8Click(); });
    connectGuarded(ui->Panel9, &ClickLabel::clicked, this, [this] { Panel9Click(); });
    // Only a change of the selection reads the card; "다시읽기" reads the same drive again.
    connect(ui->DriveComboBox1, &QComboBox::activated, this, [this](int index) {
        if (ui->DriveComboBox1->itemData(index).toString() != driveRootRead_)
            runGuarded([this] { DriveComboBox1Change(); });
    });
    ui->Panel1->installEventFilter(this);
    ui->DriveComboBox1->installEventFilter(this);
}

bool TFMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->DriveComboBox1 && event->type() == QEvent::FocusIn) {
        // Only focus the user moves here counts: not the window becoming active again, nor
        // the list's own drop-down closing.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            runGuarded([this] { DriveComboBox1Enter(); });
        }
    } else if (watched == ui->Panel1 && event->type() == QEvent::MouseButtonRelease) {
        runGuarded([this] { Panel1Click(); });
    }
    return QWidget::eventFilter(watched, event);
}

void TFMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!drivesFilled_) {
        drivesFilled_ = true;
        runGuarded([this] { fillDriveList(); });
    }
}

void TFMain::FormCreate() {
    bb.clear();
    sTitle = messageBoxTitle();
    sExeDir = platform::current().executableDir();
    upCode = 378;
    const QStringList params{QStringLiteral("bidx=4")};
    FHttpPost(addresses::bannerList(), params, 88);
}

bool TFMain::FHttpPost(const QString& Url, const QStringList& sParam, int Mode) {
    using Handler = bool (TFMain::*)(const QString&);
    struct Route {
        int mode;
        Handler first;
        Handler second;
        // The largest answer the request can need; a larger one is refused as it arrives.
        std::int64_t maxAnswerBytes;
    };
    constexpr std::int64_t MiB = 1024 * 1024;
    static constexpr Route routes[] = {
        {1, &TFMain::getData1, nullptr, 1 * MiB},
        {2, &TFMain::FduCkeck, nullptr, 1 * MiB},
        {4, &TFMain::FMemSave, nullptr, 1 * MiB},
        {6, &TFMain::FbbModelList, nullptr, 8 * MiB},
        {7, &TFMain::getData2, &TFMain::FDbDownload, 1 * MiB},
        {9, &TFMain::FuPaymentList, nullptr, 8 * MiB},
        {88, &TFMain::FBanner, nullptr, 1 * MiB},
    };
    const Route* route = nullptr;
    for (const Route& candidate : routes) {
        if (candidate.mode == Mode)
            route = &candidate;
    }

    HttpRequest request{Url, true, formEncodeList(sParam),
                        QByteArrayLiteral("application/x-www-form-urlencoded")};
    TransferLimits limits;
    limits.maxBodyBytes = route ? route->maxAnswerBytes : 1 * MiB;
    // Off the window's thread; the window paints and runs its timers meanwhile but takes no
    // input, so the handlers below run as they would after a blocking call.
    HttpResponse response =
        request_wait::run<HttpResponse>([request, limits](const std::atomic<bool>& cancel) mutable {
            request.cancel = &cancel;
            return httpExchange(request, limits);
        });
    if (!isSuccessStatus(response.status)) {
        return false;
    }
    const QString answer = QString::fromUtf8(response.body);
    response.body.clear();

    if (!route)
        return false;
    bool accepted = (this->*route->first)(answer);
    if (route->second) {
        accepted = (this->*route->second)(answer) || accepted;
    }
    return accepted;
}

void TFMain::FMsg(QPlainTextEdit* Memo, const QString& Msg) {
    const QString line = QLatin1Char('[') +
                         platform::current().now().time().toString(QStringLiteral("HH:mm:ss")) +
                         QStringLiteral("] ") + Msg;
    // Every line with the memo's own plain format, so that old and new lines look alike.
    const bool first = Memo->document()->isEmpty();
    QTextCursor cursor(Memo->document());
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(first ? line : line + QLatin1Char('\n'), QTextCharFormat());
}

void TFMain::setDownloadButton(int face) {
    ui->Image2->setPixmap(ImageList1.value(face));
    ui->Image2->setEnabled(face == 0);
}

void TFMain::acceptLogin(const QString& id, const QString& password) {
    UserInfo.UserID = id;
    UserInfo.UserPw = password;
    ui->Label1->setText(UserInfo.UserID + QStringLiteral(" 님 로그인 하셨습니다"));
}

void TFMain::showLoginRequest() {
    ui->Label1->setText(QStringLiteral(" 로그인을 하세요 "));
}

void TFMain::Image1Click() {
    platform::current().openUrl(this, addresses::makerDownloadSite());
}

void TFMain::Image3Click() {
    platform::current().openUrl(this, addresses::paymentPage(UserInfo.UserID));
}

void TFMain::Image5Click() {
    close();
}

void TFMain::Panel1Click() {}

void TFMain::Panel6Click() {
    platform::current().openUrl(this, addresses::makerSupportFaq());
}

void TFMain::Panel8Click() {
    platform::current().openUrl(this, addresses::homepage());
}
