#pragma once

#include <QPixmap>
#include <QStringList>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>

#include "card/bb_data.h"
#include "card/card_access.h"
#include "card/card_files.h"
#include "platform/platform.h"
#include "service/user_info.h"

class QPlainTextEdit;
class QTimer;
namespace Ui {
class TFMain;
}
namespace card {
class DatabaseRun;
struct DatabaseOutcome;
struct CardInfoRead;
struct CardInfoRewrite;
}  // namespace card
namespace platform {
class CardLock;
}

// The main window: the hub that owns the shared state, the request dispatcher and every
// answer handler, whichever window sends the request. Handlers are defined beside their
// subsystem (account/, card/, payments/, banner/); the comment on each says where. Other
// windows reach the state only through the named methods below.
class TFMain : public QWidget {
    Q_OBJECT

  public:
    explicit TFMain(QWidget* parent = nullptr);
    ~TFMain() override;

    // Posts sParam form-encoded to Url and hands the answer to the handler of Mode. (app/)
    bool FHttpPost(const QString& Url, const QStringList& sParam, int Mode);
    // Puts "[HH:MM:SS] Msg" at the top of Memo. (app/)
    void FMsg(QPlainTextEdit* Memo, const QString& Msg);

    // While a request is out the window waits for it (app/request_wait.h): what would change
    // the drive list, the selection or the card's fields waits too. (app/)
    bool requestInFlight() const;
    // Runs change now, or once the request out has returned and the action that sent it has
    // ended (in the order the changes came; inside the guard then). The drive watcher's
    // changes and the card reads' answers go through here.
    void afterRequests(std::function<void()> change);

    // What the other windows need of the main window. (app/)
    const QString& messageTitle() const { return sTitle; }  // sTitle, the boxes' caption
    const TUserInfo& userInfo() const { return UserInfo; }
    qint32 makerCode() const { return upCode; }
    // An accepted login: the account's ID and password, and the account panel greets it.
    void acceptLogin(const QString& id, const QString& password);
    // A refused login: the account panel asks for one.
    void showLoginRequest();
    // The sign-up window's duplicate-ID check passed for the ID now entered, or not.
    void setIdChecked(bool checked) { UserInfo.idCheck = checked; }
    // The catalogue index of the model in row of the hidden model table, trimmed. (account/)
    QString catalogueIndexAt(int row) const;

    // Answer handlers, by request mode.
    bool getData1(const QString& JsonString);       // 1, login (account/)
    bool FduCkeck(const QString& JsonString);       // 2, duplicate-ID check (account/)
    bool FMemSave(const QString& JsonString);       // 4, join (account/)
    bool FbbModelList(const QString& JsonString);   // 6, model catalogue (account/)
    bool getData2(const QString& JsonString);       // 7, database record (card/)
    bool FDbDownload(const QString& JsonString);    // 7, its message (card/)
    bool FuPaymentList(const QString& JsonString);  // 9, payment history (payments/)
    bool FBanner(const QString& JsonString);        // 88, banner list (banner/)

    // The card and the download. (card/) Every call on a card is made off the window's
    // thread: FbbRead takes the card info file's bytes as they were read; FbbSave gives what
    // the rewrite after a download writes, which the download writes onto its own card.
    void FbbRead(const QByteArray& bytes);
    card::CardInfoUpdate FbbSave() const;
    QString FGetIP();
    // The banner picture. (banner/)
    QString FImgDown(const QString& xURL);

    // Event handlers, by control.
    void FormCreate();            // the window's creation (app/)
    void Image1Click();           // maker's logo (app/)
    void Image2Click();           // 다운로드 button (card/)
    void Image3Click();           // 연장결제하기 button (app/)
    void Image4Click();           // 결제내역확인 button (payments/)
    void Image5Click();           // 프로그램종료 button (app/)
    void Image8Click();           // banner strip (banner/)
    void Panel1Click();           // account panel (app/)
    void Panel6Click();           // "블랙박스 문의" in the bottom bar (app/)
    void Panel8Click();           // "다운로드 사용법 문의" in the bottom bar (app/)
    void Panel9Click();           // 다시읽기 button (card/)
    void DriveComboBox1Change();  // drive list, a drive picked (card/)
    void DriveComboBox1Enter();   // drive list, focus moved to it (card/)

    // Fills the drive list and runs the first card read for the current folder's drive.
    // (card/)
    void fillDriveList();
    // The download button's two faces: 0 active, 1 greyed. (app/)
    void setDownloadButton(int face);
    // A database is on its way to the card, or the card info file after it. (card/)
    bool isDownloading() const;

  signals:
    // The last request out has returned; held changes follow from the event loop.
    void requestsIdle();

  protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;
    // While a download runs, asks whether to stop it; the window closes only after it has
    // stopped cleanly. (card/)
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Tests read and set the state through this class of theirs.
    friend struct TFMainTestAccess;

    void connectHandlers();
    void applyHeldChanges();
    // The download's controls: the button, the drive list and the re-read button rest while
    // it runs. (card/)
    void setDownloading(bool running);
    void showDownloadProgress(std::int64_t received, std::int64_t total);
    void finishDownload(const card::CardKey& card, const QString& folder,
                        const card::DatabaseOutcome& outcome);
    // The card calls' one home, and what the window does with their results. (card/)
    void setUpCardAccess();
    card::CardKey selectedCard() const;
    // The card read of a drive: the result is shown when the card has answered, if it is still
    // the selected one then.
    void readCard(const card::CardKey& card, const QString& folder);
    void startCardRead(const card::CardKey& card, const QString& folder);
    void cardReadDone(const card::CardKey& card, const QString& folder,
                      const card::CardInfoRead& read);
    void showCardRead(const card::CardInfoRead& read);
    void cardReturned(const card::CardKey& card);
    // Tells the driver once of each call on a card that has not returned within cardStall_.
    void watchCards();
    // A new volume's card read, and the choice of the card to switch to.
    void arrivalRead(const card::CardKey& card, const QString& folder,
                     const card::CardInfoRead& read);
    void settleArrival();
    void cardInfoWritten(const QString& path, const card::CardInfoRewrite& rewrite);
    // The card being written was taken out, or another put in its place. (card/)
    void downloadCardGone();
    // Ending while the new database is being written: asked once. (card/)
    bool askToEndWhileWriting();
    // After the card info file: whether the card may be taken out now. (card/)
    void sayWhetherTheCardMayBePulled(platform::VolumeFlush flush);
    // No card info file where the card read looked: the log says so, the model and serial
    // are cleared and the download button greys. (card/)
    void reportNoCardInfo();
    // No card to download onto: the model and serial are cleared and the button greys. (card/)
    void clearCardFields();
    // A volume was mounted or unmounted: the drive list follows, a new card is read. While
    // a download runs the change waits for its end. (card/)
    void drivesChanged();

    // State, in the order the program declares it.
    bool bDrCheck = false;
    QString sTitle;
    QString sExeDir;
    QString bannerlink;
    TcfgData cfgData;
    TUserInfo UserInfo;
    qint32 upCode = 0;
    TbbData bb;

    std::unique_ptr<Ui::TFMain> ui;
    QList<QPixmap> ImageList1;

    // Changes that came while a request was out. (app/)
    QList<std::function<void()>> heldChanges_;

    bool drivesFilled_ = false;
    // The drive the change handler last read: picking it again is no change. (card/)
    QString driveRootRead_;
    // The bytes of the card info file last read or written, to tell whether the file on the
    // card is still the one the program holds. (card/)
    QByteArray cardInfoBytes_;
    // The database download that is running, if any. (card/)
    std::unique_ptr<card::DatabaseRun> download_;
    // Watches for volumes coming and going, from the first filling of the drive list on;
    // a change seen during a download is applied when it ends. (card/)
    std::unique_ptr<QObject> driveWatch_;
    bool drivesChangePending_ = false;
    // Calls on cards, off the window's thread, and the watch for a card that stops answering.
    // (card/)
    std::unique_ptr<card::CardAccess> cards_;
    QTimer* cardWatch_ = nullptr;
    std::chrono::milliseconds cardStall_{5000};
    // The card whose read the user asked for and has not seen yet, and the download button's
    // face before that read greyed it (-1: it did not).
    card::CardKey cardReadWanted_;
    int faceBeforeRead_ = -1;
    // The card the download writes, claimed for it in cards_.
    card::CardKey downloadCard_;
    // Closing while the new database is being written: the window ends when it is written,
    // unless the driver chose to end at once.
    bool closeWhenDone_ = false;
    bool endAsked_ = false;
    bool endNow_ = false;
    // New volumes being read to find the card that has just gone in.
    struct Arrival {
        QList<card::CardKey> cards;
        card::CardKey selection;  // what was selected when they came
        QString folder;
        qsizetype waiting = 0;
        bool taken = false;
        quint64 generation = 0;
    };
    Arrival arrival_;
    quint64 arrivalGeneration_ = 0;
};

extern TFMain* FMain;

// Titles that never change.
QString mainWindowCaption();
QString messageBoxTitle();  // sTitle
