#pragma once

#include <QPixmap>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "account/user_info.h"
#include "card/bb_data.h"

class JsonAnswer;
class QPlainTextEdit;
namespace Ui {
class TFMain;
}

// The main window: the hub that owns the shared state, the request dispatcher and every
// answer handler, whichever window sends the request. Handlers are defined beside their
// subsystem (account/, card/, payments/, banner/).
class TFMain : public QWidget {
    Q_OBJECT

  public:
    explicit TFMain(QWidget* parent = nullptr);
    ~TFMain() override;

    // Posts sParam form-encoded to Url and hands the answer to the handler of Mode.
    bool FHttpPost(const QString& Url, const QStringList& sParam, int Mode);
    // Puts "[HH:MM:SS] Msg" at the top of Memo.
    void FMsg(QPlainTextEdit* Memo, const QString& Msg);

    // Answer handlers.
    bool getData1(const QString& JsonString);
    bool getData2(const QString& JsonString);
    bool FDbDownload(const QString& JsonString);
    bool FduCkeck(const QString& JsonString);
    bool FMemSave(const QString& JsonString);
    bool FbbModelList(const QString& JsonString);
    bool FuPaymentList(const QString& JsonString);
    bool FBanner(const QString& JsonString);

    // The card and the download.
    void FbbRead(const QString& FileName);
    void FbbSave(const QString& FileName);
    QString FGetIP();
    QString FImgDown(const QString& xURL);

    // Event handlers.
    void FormCreate();
    void Image1Click();
    void Image2Click();
    void Image3Click();
    void Image4Click();
    void Image5Click();
    void Image8Click();
    void Panel1Click();
    void Panel6Click();
    void Panel8Click();
    void Panel9Click();
    void DriveComboBox1Change();
    void DriveComboBox1Enter();
    void Timer1Timer();

    // Fills the drive list and runs the first card read for the current folder's drive.
    void fillDriveList();
    // The download button's two faces: 0 active, 1 greyed.
    void setDownloadButton(int face);
    // Takes the current database's file name, path, version and card folder from an answer,
    // in this order; throws JsonAccessError at the first key it cannot read.
    void takeDatabaseRecord(const JsonAnswer& answer);

    // State, in the order the program declares it.
    bool bDrCheck = false;
    QString MainUrl;
    QString sTitle;
    QString sExeDir;
    QString bannerlink;
    TcfgData cfgData;
    TUserInfo UserInfo;
    qint32 upCode = 0;
    TbbData bb;
    qint32 DownProgress = 0;

    std::unique_ptr<Ui::TFMain> ui;
    QTimer* Timer1 = nullptr;
    QList<QPixmap> ImageList1;

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void connectHandlers();
    bool drivesFilled_ = false;

    // Card and download members.
    // The bytes of the card info file last read or written, to tell whether the file on the
    // card is still the one the program holds.
    QByteArray cardInfoBytes_;

    // Sign-up and catalogue members.

    // Payment history and banner members.
};

extern TFMain* FMain;

// Titles that never change.
QString mainWindowCaption();
QString messageBoxTitle();  // sTitle
