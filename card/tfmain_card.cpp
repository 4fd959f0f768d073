// The card: drive selection, reading and rewriting backbbinfo.cfg, and the database download.
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHash>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <algorithm>
#include <utility>

#include "app/guard.h"
#include "app/tfmain.h"
#include "base/errors.h"
#include "base/http_transfer.h"
#include "card/card_info.h"
#include "card/card_paths.h"
#include "card/database_run.h"
#include "card/download.h"
#include "platform/folder_handle.h"
#include "platform/platform.h"
#include "service/addresses.h"
#include "service/database_record.h"
#include "service/json_answer.h"
#include "ui_tfmain.h"

namespace {

// The progress bar's resolution.
constexpr int kProgressSteps = 1000;

// Each item keeps the identity of the volume it was listed with.
constexpr int kIdentityRole = Qt::UserRole + 1;

// The list is narrow; the tooltip shows a long mount point whole.
void addDriveItem(QComboBox* box, const platform::Drive& drive) {
    box->addItem(drive.display, drive.root);
    box->setItemData(box->count() - 1, drive.display, Qt::ToolTipRole);
    box->setItemData(box->count() - 1, drive.identity, kIdentityRole);
}

quint64 identityAt(const QComboBox* box, int index) {
    return box->itemData(index, kIdentityRole).toULongLong();
}

QString selectedRoot(const QComboBox* box) {
    return box->currentIndex() < 0 ? QString() : box->currentData().toString();
}

bool sameItems(const QComboBox* box, const QList<platform::Drive>& drives) {
    if (box->count() != drives.size())
        return false;
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemData(i).toString() != drives.at(i).root ||
            box->itemText(i) != drives.at(i).display || identityAt(box, i) != drives.at(i).identity)
            return false;
    }
    return true;
}

// Cards are inserted and mounted while the program runs, so the list is read again each
// time the user is about to pick from it. The selected volume stays listed even when it has
// gone, so that a re-read reports the missing card instead of reading another drive.
void refreshDriveItems(QComboBox* box) {
    QList<platform::Drive> drives = platform::current().drives();
    if (sameItems(box, drives))
        return;
    const QString selected = selectedRoot(box);
    const QString selectedText = box->currentText();
    // A volume that changed under its root keeps the identity it was listed with, so that the
    // watcher's report still finds the change and reads or clears the card.
    for (platform::Drive& drive : drives) {
        const int listed = box->findData(drive.root);
        if (listed >= 0)
            drive.identity = identityAt(box, listed);
    }
    box->clear();
    for (const platform::Drive& drive : drives)
        addDriveItem(box, drive);
    if (selected.isEmpty())
        return;
    int index = box->findData(selected);
    if (index < 0) {
        addDriveItem(box, platform::Drive{selected, selectedText});
        index = box->count() - 1;
    }
    box->setCurrentIndex(index);
}

class DriveListRefresher : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::KeyPress:
            case QEvent::Wheel:
                runGuarded([watched] { refreshDriveItems(static_cast<QComboBox*>(watched)); });
                break;
            default:
                break;
        }
        return false;
    }
};

// The listed volume that holds the current folder: the exact root, or else the listed root
// that is the longest prefix of it.
int indexOfCurrentDrive(const QComboBox* box, const QString& currentRoot) {
    int best = -1;
    qsizetype bestLength = -1;
    for (int i = 0; i < box->count(); ++i) {
        const QString root = box->itemData(i).toString();
        if (root == currentRoot)
            return i;
        if (currentRoot.startsWith(root) && root.size() > bestLength) {
            best = i;
            bestLength = root.size();
        }
    }
    return best;
}

// The volume is still mounted: after a card is pulled its empty mount point may remain, and
// a file written there would land on the computer's own disk.
bool driveStillPresent(const QString& root) {
    const QList<platform::Drive> drives = platform::current().drives();
    return std::any_of(drives.begin(), drives.end(),
                       [&root](const platform::Drive& d) { return d.root == root; });
}

// The folder of a file on the card, opened from the drive root folder by folder without
// following links. Throws FileError.
platform::FolderHandle cardFolderOf(const QString& driveRoot, const QString& filePath) {
    // card::cardFilePath writes the path with the system's separators.
    const QString root = QDir::toNativeSeparators(driveRoot);
    const QString path = QDir::toNativeSeparators(filePath);
    if (!root.isEmpty() && path.startsWith(root)) {
        const QString inner = path.mid(root.size());
        return platform::FolderHandle::openBeneath(
            driveRoot, inner.left(std::max<qsizetype>(inner.lastIndexOf(QDir::separator()), 0)));
    }
    return platform::FolderHandle::open(QFileInfo(filePath).path(), filePath);
}

// The card folder holds a card info file: a regular file of that name, not a folder, a link
// or a pipe, which no dashcam writes.
bool cardInfoPresent(const QString& driveRoot, const QString& folder) {
    try {
        return platform::FolderHandle::openBeneath(driveRoot, folder)
            .holdsRegularFile(card::kCardInfoName);
    } catch (const FileError&) {
        return false;
    }
}

// Something other than a card info file has its name in the card folder.
bool cardInfoNameTaken(const QString& driveRoot, const QString& folder) {
    try {
        const auto card = platform::FolderHandle::openBeneath(driveRoot, folder);
        return card.contains(card::kCardInfoName) && !card.holdsRegularFile(card::kCardInfoName);
    } catch (const FileError&) {
        return false;
    }
}

}  // namespace

void TFMain::fillDriveList() {
    QComboBox* box = ui->DriveComboBox1;
    box->clear();
    for (const platform::Drive& drive : platform::current().drives())
        addDriveItem(box, drive);
    const QString refresherName = QStringLiteral("driveListRefresher");
    if (!box->findChild<QObject*>(refresherName, Qt::FindDirectChildrenOnly)) {
        auto* refresher = new DriveListRefresher(box);
        refresher->setObjectName(refresherName);
        box->installEventFilter(refresher);
    }
    if (!driveWatch_) {
        driveWatch_ =
            platform::current().watchDrives([this] { runGuarded([this] { drivesChanged(); }); });
    }
    int index = indexOfCurrentDrive(box, platform::current().currentDriveRoot());
    if (index < 0 && box->count() > 0)
        index = 0;
    box->setCurrentIndex(index);
    DriveComboBox1Change();
}

void TFMain::DriveComboBox1Change() {
    driveRootRead_ = selectedRoot(ui->DriveComboBox1);
    const QString folder = card::cardFolder(UserInfo.DownDir);
    card::requireSafeCardFolder(folder);
    const QString root = selectedRoot(ui->DriveComboBox1);
    if (!root.isEmpty()) {
        const QString path = card::cardFilePath(root, folder, card::kCardInfoName);
        FMsg(ui->Memo1, path);
        if (cardInfoPresent(root, folder)) {
            FbbRead(path);
            // This card's own record: a file without a first line keeps the previous card's
            // line 1 in cfgData, which says nothing of this card.
            FMsg(ui->Memo1,
                 card::cardDatabaseLine(card::cardInfoLineOne(cardInfoBytes_), UserInfo.Version));
            return;
        }
    }
    reportNoCardInfo();
}

void TFMain::reportNoCardInfo() {
    if (bDrCheck) {
        FMsg(ui->Memo1, QStringLiteral("블랙박스 SD메모리카드가 인식되지 않았습니다 "));
        FMsg(ui->Memo1, QStringLiteral("블랙박스 SD메모리카드가 꽂아 주세요"));
        bDrCheck = false;
    } else {
        FMsg(ui->Memo1, QStringLiteral("블랙박스 SD메모리카드가 없습니다."));
    }
    clearCardFields();
}

void TFMain::clearCardFields() {
    setDownloadButton(1);
    ui->LabeledEdit5->clear();
    ui->LabeledEdit6->clear();
}

void TFMain::drivesChanged() {
    if (download_) {
        drivesChangePending_ = true;
        return;
    }
    drivesChangePending_ = false;
    QComboBox* box = ui->DriveComboBox1;
    const QString selected = selectedRoot(box);
    const quint64 selectedIdentity =
        box->currentIndex() < 0 ? 0 : identityAt(box, box->currentIndex());
    QHash<QString, quint64> known;
    for (int i = 0; i < box->count(); ++i)
        known.insert(box->itemData(i).toString(), identityAt(box, i));

    const QList<platform::Drive> drives = platform::current().drives();
    if (sameItems(box, drives))
        return;
    box->clear();
    // A reader that keeps its letter shows a card put in or taken out only as a new identity
    // of its volume (0: no card): that counts as the old volume gone and a new one arrived.
    QStringList arrived;
    for (const platform::Drive& drive : drives) {
        addDriveItem(box, drive);
        const auto listed = known.constFind(drive.root);
        if (listed == known.cend() || (drive.identity != 0 && *listed != drive.identity))
            arrived.append(drive.root);
    }
    box->setCurrentIndex(box->findData(selected));
    const bool selectionGone =
        !selected.isEmpty() &&
        (box->currentIndex() < 0 ||
         (selectedIdentity != 0 && identityAt(box, box->currentIndex()) != selectedIdentity));

    // The card that has just gone in is the one the user wants, even over a drive picked
    // before; any other new volume leaves a picked drive alone.
    const QString folder = card::cardFolder(UserInfo.DownDir);
    QString take;
    if (card::isSafeCardFolder(folder)) {
        const auto card = std::find_if(arrived.begin(), arrived.end(), [&](const QString& root) {
            return cardInfoPresent(root, folder);
        });
        if (card != arrived.end())
            take = *card;
    }
    if (take.isEmpty() && box->currentIndex() < 0 && !arrived.isEmpty())
        take = arrived.front();

    if (selectionGone) {
        ui->LabeledEdit5->clear();
        ui->LabeledEdit6->clear();
        setDownloadButton(1);
        FMsg(ui->Memo1, QStringLiteral("블랙박스 SD메모리카드가 제거되었습니다"));
    }
    if (!take.isEmpty()) {
        box->setCurrentIndex(box->findData(take));
        DriveComboBox1Change();
    }
}

void TFMain::Panel9Click() {
    DriveComboBox1Change();
}

void TFMain::DriveComboBox1Enter() {
    bDrCheck = true;
}

void TFMain::FbbRead(const QString& FileName) {
    const QByteArray bytes = card::loadCardInfoFile(
        cardFolderOf(selectedRoot(ui->DriveComboBox1), FileName), QFileInfo(FileName).fileName());
    card::readCardInfo(bytes, cfgData, bb);
    cardInfoBytes_ = bytes;
    ui->LabeledEdit5->setText(cellText(std::as_const(bb).ModelName()));
    ui->LabeledEdit6->setText(cellText(std::as_const(bb).sn()));
    setDownloadButton(0);
}

void TFMain::FbbSave(const QString& FileName) {
    const QByteArray bytes =
        card::encodeCardInfo(cfgData, platform::current().now().date(), UserInfo.Version);
    card::saveCardInfoFile(cardFolderOf(selectedRoot(ui->DriveComboBox1), FileName), bytes,
                           QFileInfo(FileName).fileName());
    cardInfoBytes_ = bytes;
}

QString TFMain::FGetIP() {
    try {
        const HttpRequest request{addresses::ipEcho(), false, {}, {}};
        const HttpResponse response = httpExchange(request, TransferLimits{5000, 5000, 64 * 1024});
        if (!isSuccessStatus(response.status))
            return QString();
        return card::ipFromEchoAnswer(response.body);
    } catch (const std::exception&) {
        return QString();
    }
}

bool TFMain::getData2(const QString& JsonString) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(JsonString);
    if (!answer || !answer->success())
        return false;
    const DatabaseRecord record = readDatabaseRecord(*answer);
    record.applyTo(UserInfo);
    if (record.Version)
        ui->LabeledEdit7->setText(*record.Version);
    return true;
}

bool TFMain::FDbDownload(const QString& JsonString) {
    const std::optional<JsonAnswer> answer = JsonAnswer::parse(JsonString);
    if (!answer)
        return false;
    const bool accepted = answer->success();
    FMsg(ui->Memo1, answer->text("msg"));
    return accepted;
}

bool TFMain::isDownloading() const {
    return download_ != nullptr;
}

void TFMain::Image2Click() {
    if (download_)
        return;
    ui->ProgressBar1->setRange(0, kProgressSteps);
    ui->ProgressBar1->setValue(0);

    const QString serial = cellText(std::as_const(bb).sn());
    const QString ip = FGetIP();
    FHttpPost(addresses::databaseRequest(UserInfo.UserID, UserInfo.bb_Model_Name, serial, ip), {},
              7);

    const QString root = selectedRoot(ui->DriveComboBox1);
    if (root.isEmpty())
        throw AppError(QStringLiteral("블랙박스 SD카드 있는 드라이브를 선택하세요"));
    const QString folder = card::cardFolder(UserInfo.DownDir);
    card::requireSafeCardFolder(folder);
    const QString target = card::cardFilePath(root, folder, card::kDatabaseName);

    const std::optional<QString> url = addresses::databaseFile(UserInfo.Path, UserInfo.FileName);
    if (!url || !driveStillPresent(root)) {
        // The card keeps the info file that matches the database it still holds.
        FMsg(ui->Memo1, target + QStringLiteral("파일이 다운로드 되지 않았습니다."));
        return;
    }
    if (cardInfoNameTaken(root, folder)) {
        // A folder, link or pipe in the card info file's place: no dashcam's card. Said in
        // the download's own words; the card read's wording and bDrCheck are not its own.
        FMsg(ui->Memo1, card::cardFilePath(root, folder, card::kCardInfoName));
        FMsg(ui->Memo1, card::notACardFileReason());
        FMsg(ui->Memo1, target + QStringLiteral("파일이 다운로드 되지 않았습니다."));
        clearCardFields();
        return;
    }
    card::DatabaseSource source{*url,
                                UserInfo.Path,
                                UserInfo.FileName,
                                UserInfo.Version,
                                UserInfo.FileSize,
                                UserInfo.FileSha256};
    card::DatabaseSettings settings;
    settings.stagingFolder = platform::current().cacheFolder();
    setDownloading(true);
    download_ = std::make_unique<card::DatabaseRun>(
        this, std::move(source), card::DatabaseTarget{root, folder}, std::move(settings),
        [this](std::int64_t received, std::int64_t total) {
            showDownloadProgress(received, total);
        },
        [this, root, folder](const card::DatabaseOutcome& outcome) {
            runGuarded([&] { finishDownload(root, folder, outcome); });
            if (drivesChangePending_)
                runGuarded([this] { drivesChanged(); });
        });
}

void TFMain::setDownloading(bool running) {
    setDownloadButton(running ? 1 : 0);
    ui->DriveComboBox1->setEnabled(!running);
    ui->Panel9->setEnabled(!running);
}

void TFMain::showDownloadProgress(std::int64_t received, std::int64_t total) {
    if (!download_)
        return;
    if (total <= 0) {
        ui->ProgressBar1->setRange(0, 0);  // busy: the size is not known
        return;
    }
    ui->ProgressBar1->setRange(0, kProgressSteps);
    ui->ProgressBar1->setValue(
        static_cast<int>(std::min<std::int64_t>(received, total) * kProgressSteps / total));
}

void TFMain::finishDownload(const QString& root, const QString& folder,
                            const card::DatabaseOutcome& outcome) {
    const QString target = card::cardFilePath(root, folder, card::kDatabaseName);
    download_.reset();
    setDownloading(false);
    ui->ProgressBar1->setRange(0, kProgressSteps);
    if (!outcome.ok()) {
        ui->ProgressBar1->setValue(0);
        // The failure line stays the newest, as when nothing is known of why; the lines
        // below it say why.
        FMsg(ui->Memo1, card::failureReason(outcome));
        if (outcome.oldRemoved)
            FMsg(ui->Memo1, card::removedDatabaseNote());
        FMsg(ui->Memo1, target + QStringLiteral("파일이 다운로드 되지 않았습니다."));
        return;
    }
    ui->ProgressBar1->setValue(kProgressSteps);
    FMsg(ui->Memo1, target + QStringLiteral("파일이 다운로드 되었습니다"));
    const QString cardInfo = card::cardFilePath(root, folder, card::kCardInfoName);
    // The card in the drive may not be the one last read (swapped in the same slot, or its
    // read failed): its own lines are read first, so that no other card's identity is
    // written over them. A file that cannot be read is left alone (the error box says why).
    const platform::FolderHandle cardFolder = platform::FolderHandle::openBeneath(root, folder);
    if (cardFolder.contains(card::kCardInfoName)) {
        // Something that is not a card info file is reported, never written over.
        // The database is on the card: the button and the fields stay.
        if (!cardFolder.holdsRegularFile(card::kCardInfoName)) {
            FMsg(ui->Memo1, cardInfo);
            FMsg(ui->Memo1, card::cardInfoNotWrittenReason());
            sayWhetherTheCardMayBePulled(root);
            return;
        }
        if (card::loadCardInfoFile(cardFolder) != cardInfoBytes_)
            FbbRead(cardInfo);
    }
    FbbSave(cardInfo);
    sayWhetherTheCardMayBePulled(root);
}

void TFMain::sayWhetherTheCardMayBePulled(const QString& root) {
    // A card pulled while its volume is marked in use is offered a repair next time: it may be
    // pulled at once only where the flush is known to leave it clean.
    if (platform::current().flushVolume(root) == platform::VolumeFlush::Clean)
        FMsg(ui->Memo1, QStringLiteral("이제 SD카드를 빼도 됩니다"));
    else
        FMsg(ui->Memo1, platform::ejectAdvice(platform::thisSystem()));
}

void TFMain::closeEvent(QCloseEvent* event) {
    if (download_) {
        const bool stop = platform::current().askYesNo(
            this,
            QStringLiteral("데이터베이스를 SD카드에 받는 중입니다. 다운로드를 멈추고 "
                           "프로그램을 끝낼까요?\n(SD카드의 이전 데이터베이스는 그대로 "
                           "남습니다)"),
            sTitle);
        if (!stop || !download_) {
            event->ignore();
            return;
        }
        download_->cancel();
        download_->wait();
        download_.reset();
    }
    QWidget::closeEvent(event);
}
