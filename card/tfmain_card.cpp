// The card: drive selection, reading and rewriting backbbinfo.cfg, and the database download.
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHash>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "app/guard.h"
#include "app/requests.h"
#include "app/tfmain.h"
#include "base/errors.h"
#include "base/http_transfer.h"
#include "card/card_access.h"
#include "card/card_files.h"
#include "card/card_info.h"
#include "card/card_paths.h"
#include "card/database_run.h"
#include "card/download.h"
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

// The card that the item at index stands for.
card::CardKey cardAt(const QComboBox* box, int index) {
    if (index < 0)
        return {};
    return card::CardKey{box->itemData(index).toString(), identityAt(box, index)};
}

// The download's outcome lines: the target path, then the words, with no blank between.
QString downloadedLine(const QString& target) {
    return target + QStringLiteral("파일이 다운로드 되었습니다");
}
QString notDownloadedLine(const QString& target) {
    return target + QStringLiteral("파일이 다운로드 되지 않았습니다.");
}

// The card named as the drive list shows it.
QString driveName(const QComboBox* box, const QString& root) {
    const int index = box->findData(root);
    return index >= 0 ? box->itemText(index) : QDir::toNativeSeparators(root);
}

// While nothing on the card has changed, taking it out loses nothing.
QString cardStallLine(const QString& drive) {
    return QStringLiteral(
               "SD카드(%1)가 응답하지 않습니다. SD카드와 카드 리더기를 확인하거나, "
               "SD카드를 뺐다가 다시 꽂아 주세요")
        .arg(drive);
}

// While the new database is being put in place, taking the card out leaves it without one.
QString cardStallWhileWritingLine(const QString& drive) {
    return QStringLiteral(
               "SD카드(%1)가 새 데이터베이스를 쓰는 중에 응답하지 않습니다. SD카드를 빼지 "
               "말고 기다려 주세요. 계속 응답이 없으면 프로그램을 끝낸 뒤 SD카드를 다시 꽂고 "
               "다운로드를 다시 눌러 주세요")
        .arg(drive);
}

QString writingOnCloseLine() {
    return QStringLiteral(
        "새 데이터베이스를 SD카드에 쓰는 중입니다. 다 쓰면 프로그램이 끝납니다");
}

QString endWhileWritingQuestion() {
    return QStringLiteral(
        "새 데이터베이스를 SD카드에 쓰는 중입니다. 지금 끝내면 SD카드를 다시 꽂고 다운로드를 "
        "다시 누를 때까지 SD카드에 데이터베이스가 없을 수 있습니다. 지금 끝낼까요?");
}

}  // namespace

void TFMain::setUpCardAccess() {
    cards_ = std::make_unique<card::CardAccess>(
        this, [](const std::function<void()>& apply) { runGuarded(apply); });
    cards_->setOnReturned([this](const card::CardKey& card) { cardReturned(card); });
    cardWatch_ = new QTimer(this);
    cardWatch_->setInterval(250);
    connect(cardWatch_, &QTimer::timeout, this, [this] { runGuarded([this] { watchCards(); }); });
}

card::CardKey TFMain::selectedCard() const {
    return cardAt(ui->DriveComboBox1, ui->DriveComboBox1->currentIndex());
}

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
        driveWatch_ = platform::current().watchDrives(
            [this] { runGuarded([this] { afterRequests([this] { drivesChanged(); }); }); });
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
    const card::CardKey card = selectedCard();
    if (!card.isNull()) {
        FMsg(ui->Memo1, card::cardFilePath(card.root, folder, card::kCardInfoName));
        readCard(card, folder);
        return;
    }
    reportNoCardInfo();
}

void TFMain::readCard(const card::CardKey& card, const QString& folder) {
    // Shown when it comes, if the card is still the selected one then.
    cardReadWanted_ = card;
    // A read already on its way answers this one too; a card busy with another call is read
    // once that call has returned, never behind it.
    if (cards_->outstanding(card)) {
        setDownloadButton(1);
        return;
    }
    startCardRead(card, folder);
}

void TFMain::startCardRead(const card::CardKey& card, const QString& folder) {
    const bool started = cards_->start(card, card::CardAccess::Kind::Read, [this, card, folder] {
        const card::CardInfoRead read = card::readCardInfoAt(card.root, folder);
        return [this, card, folder, read] {
            afterRequests([this, card, folder, read] { cardReadDone(card, folder, read); });
        };
    });
    if (started && cards_->outstanding(card)) {
        // Not to be pressed while it is not known what card is in the drive; a read that ends
        // in an error leaves the button as it was before.
        if (cardReadWanted_ == card && selectedCard() == card) {
            if (faceBeforeRead_ < 0)
                faceBeforeRead_ = ui->Image2->isEnabled() ? 0 : 1;
            setDownloadButton(1);
        }
        cardWatch_->start();
    }
}

void TFMain::cardReadDone(const card::CardKey& card, const QString& folder,
                          const card::CardInfoRead& read) {
    if (cardReadWanted_ == card) {
        cardReadWanted_ = {};
        const int faceBefore = std::exchange(faceBeforeRead_, -1);
        // A late answer from a card that has meanwhile been taken out or replaced says
        // nothing of what is selected now.
        if (selectedCard() != card)
            return;
        if (faceBefore >= 0 && read.found == card::CardInfoRead::Found::File &&
            !read.error.isEmpty())
            setDownloadButton(faceBefore);
        showCardRead(read);
        return;
    }
    arrivalRead(card, folder, read);
}

void TFMain::showCardRead(const card::CardInfoRead& read) {
    switch (read.found) {
        case card::CardInfoRead::Found::File:
            if (!read.error.isEmpty())
                throw FileError(read.error);
            FbbRead(read.bytes);
            // What the card itself shows: no database beside a download's leftover or a
            // recorded download. (A leftover beside a database is only an attempt that did not
            // end: the rename that would have replaced it never happened.) Neutral: a card
            // that never had one has none either.
            if (read.databaseMissing &&
                (read.leftoverPart || card::recordsDownload(card::cardInfoLineOne(read.bytes)))) {
                FMsg(ui->Memo1, QStringLiteral(
                                    "이 SD카드에는 완전한 데이터베이스가 없습니다. 다운로드를 "
                                    "눌러 받아 주세요"));
                return;
            }
            // This card's own record: a file without a first line keeps the previous card's
            // line 1 in cfgData, which says nothing of this card.
            FMsg(ui->Memo1,
                 card::cardDatabaseLine(card::cardInfoLineOne(read.bytes), UserInfo.Version));
            return;
        case card::CardInfoRead::Found::Nothing:
        case card::CardInfoRead::Found::NotAFile:
            reportNoCardInfo();
            return;
    }
}

void TFMain::cardReturned(const card::CardKey& card) {
    // A read asked for while the card was busy with another call.
    if (cardReadWanted_ == card && !cards_->outstanding(card) && selectedCard() == card)
        startCardRead(card, card::cardFolder(UserInfo.DownDir));
}

void TFMain::watchCards() {
    const bool downloading = download_ != nullptr;
    if (!cards_->anyOutstanding() && !downloading) {
        cardWatch_->stop();
        return;
    }
    // Only the calls the window still waits for: the selected card's, or a card just put in; a
    // read of a card no longer selected was let go.
    const card::CardKey selected = selectedCard();
    for (const card::CardKey& card : cards_->newlyStalled(cardStall_)) {
        if (card == selected || arrival_.cards.contains(card))
            FMsg(ui->Memo1, cardStallLine(driveName(ui->DriveComboBox1, card.root)));
    }
    if (!downloading || !download_->cardCalls().newlyStalled(cardStall_))
        return;
    const QString drive = driveName(ui->DriveComboBox1, downloadCard_.root);
    if (card::untouched(download_->control().phase())) {
        FMsg(ui->Memo1, cardStallLine(drive));
        return;
    }
    FMsg(ui->Memo1, cardStallWhileWritingLine(drive));
    // Waiting to close on a card that has stopped: the driver decides, once.
    if (closeWhenDone_ && askToEndWhileWriting())
        close();
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
        // Any other change waits for the download's end; the card being written going (taken
        // out, or another put in its place) cannot: the download fails at once, as for a card
        // pulled out, and the removal follows.
        const QList<platform::Drive> drives = platform::current().drives();
        const card::CardKey written = downloadCard_;
        const bool listed = std::any_of(drives.begin(), drives.end(), [&](const auto& d) {
            return d.root == written.root && (d.identity == written.identity);
        });
        if (listed) {
            drivesChangePending_ = true;
            return;
        }
        downloadCardGone();
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
    QList<card::CardKey> arrived;
    for (const platform::Drive& drive : drives) {
        addDriveItem(box, drive);
        const auto listed = known.constFind(drive.root);
        if (listed == known.cend() || (drive.identity != 0 && *listed != drive.identity))
            arrived.append(card::CardKey{drive.root, drive.identity});
    }
    box->setCurrentIndex(box->findData(selected));
    const bool selectionGone =
        !selected.isEmpty() &&
        (box->currentIndex() < 0 ||
         (selectedIdentity != 0 && identityAt(box, box->currentIndex()) != selectedIdentity));

    if (selectionGone) {
        clearCardFields();
        FMsg(ui->Memo1, QStringLiteral("블랙박스 SD메모리카드가 제거되었습니다"));
    }

    // The card that has just gone in is the one the user wants, even over a drive picked
    // before; any other new volume leaves a picked drive alone. Which of them holds a card is
    // known only once each has answered.
    arrival_ = Arrival{};
    const QString folder = card::cardFolder(UserInfo.DownDir);
    if (arrived.isEmpty())
        return;
    arrival_.cards = arrived;
    arrival_.selection = selectedCard();
    arrival_.waiting = arrived.size();
    if (!card::isSafeCardFolder(folder)) {
        arrival_.waiting = 0;
        settleArrival();
        return;
    }
    arrival_.folder = folder;
    const quint64 generation = ++arrivalGeneration_;
    arrival_.generation = generation;
    for (const card::CardKey& card : arrived) {
        if (arrival_.generation != generation || arrival_.taken)
            break;
        if (cards_->outstanding(card)) {
            // Busy with an earlier call: it counts as no card until it answers.
            --arrival_.waiting;
            continue;
        }
        startCardRead(card, folder);
    }
    if (arrival_.generation == generation)
        settleArrival();
}

void TFMain::arrivalRead(const card::CardKey& card, const QString& folder,
                         const card::CardInfoRead& read) {
    if (!arrival_.cards.contains(card) || arrival_.taken || folder != arrival_.folder)
        return;
    --arrival_.waiting;
    // Taken only while the user has not picked another drive since the card went in.
    const bool aCard = read.found == card::CardInfoRead::Found::File && read.error.isEmpty();
    if (aCard && selectedCard() == arrival_.selection) {
        arrival_.taken = true;
        QComboBox* box = ui->DriveComboBox1;
        box->setCurrentIndex(box->findData(card.root));
        driveRootRead_ = card.root;
        FMsg(ui->Memo1, card::cardFilePath(card.root, folder, card::kCardInfoName));
        showCardRead(read);
        return;
    }
    settleArrival();
}

void TFMain::settleArrival() {
    if (arrival_.taken || arrival_.waiting > 0 || arrival_.cards.isEmpty())
        return;
    // No card among the new volumes: with nothing selected the first of them is read, so that
    // the driver is told what is (not) there.
    QComboBox* box = ui->DriveComboBox1;
    const card::CardKey first = arrival_.cards.front();
    arrival_ = Arrival{};
    if (box->currentIndex() < 0 && box->findData(first.root) >= 0) {
        box->setCurrentIndex(box->findData(first.root));
        DriveComboBox1Change();
    }
}

void TFMain::Panel9Click() {
    DriveComboBox1Change();
}

void TFMain::DriveComboBox1Enter() {
    bDrCheck = true;
}

void TFMain::FbbRead(const QByteArray& bytes) {
    card::readCardInfo(bytes, cfgData, bb);
    cardInfoBytes_ = bytes;
    ui->LabeledEdit5->setText(cellText(std::as_const(bb).ModelName()));
    ui->LabeledEdit6->setText(cellText(std::as_const(bb).sn()));
    setDownloadButton(0);
}

card::CardInfoUpdate TFMain::FbbSave() const {
    return card::CardInfoUpdate{cardInfoBytes_, cfgData, platform::current().now().date(),
                                UserInfo.Version};
}

void TFMain::cardInfoWritten(const QString& path, const card::CardInfoRewrite& rewrite) {
    // The database is on the card: the button and the fields stay.
    if (rewrite.otherCard) {
        FMsg(ui->Memo1, path);
        FMsg(ui->Memo1, QStringLiteral(
                            "다운로드가 끝난 뒤 드라이브의 SD카드가 바뀌어 카드 정보 파일을 "
                            "쓰지 않았습니다. 새 데이터베이스를 받은 SD카드를 다시 꽂고 "
                            "다운로드를 다시 눌러 주세요"));
        return;
    }
    if (rewrite.notAFile) {
        FMsg(ui->Memo1, path);
        FMsg(ui->Memo1, card::cardInfoNotWrittenReason());
        sayWhetherTheCardMayBePulled(rewrite.flush);
        return;
    }
    if (rewrite.reread)
        FbbRead(*rewrite.reread);
    if (!rewrite.error.isEmpty())
        throw FileError(rewrite.error);
    cardInfoBytes_ = rewrite.written;
    sayWhetherTheCardMayBePulled(rewrite.flush);
}

void TFMain::sayWhetherTheCardMayBePulled(platform::VolumeFlush flush) {
    // A card pulled while its volume is marked in use is offered a repair next time: it may be
    // pulled at once only where the flush is known to leave it clean.
    if (flush == platform::VolumeFlush::Clean)
        FMsg(ui->Memo1, QStringLiteral("이제 SD카드를 빼도 됩니다"));
    else
        FMsg(ui->Memo1, platform::ejectAdvice(platform::thisSystem()));
}

QString TFMain::FGetIP() {
    return requests::publicAddress();
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
    if (isDownloading())
        return;
    // The card in the drive is not known until it has answered.
    if (cards_->outstanding(selectedCard()))
        return;
    ui->ProgressBar1->setRange(0, kProgressSteps);
    ui->ProgressBar1->setValue(0);

    const QString serial = cellText(std::as_const(bb).sn());
    const QString ip = FGetIP();
    FHttpPost(addresses::databaseRequest(UserInfo.UserID, UserInfo.bb_Model_Name, serial, ip), {},
              7);

    const card::CardKey card = selectedCard();
    const QString root = card.root;
    if (root.isEmpty())
        throw AppError(QStringLiteral("블랙박스 SD카드 있는 드라이브를 선택하세요"));
    const QString folder = card::cardFolder(UserInfo.DownDir);
    card::requireSafeCardFolder(folder);
    const QString target = card::cardFilePath(root, folder, card::kDatabaseName);

    // The card keeps the info file that matches the database it still holds.
    const std::optional<QString> url = addresses::databaseFile(UserInfo.Path, UserInfo.FileName);
    if (!url) {
        FMsg(ui->Memo1, QStringLiteral("서비스가 알려 준 파일 경로가 올바르지 않습니다"));
        FMsg(ui->Memo1, notDownloadedLine(target));
        return;
    }
    if (!driveStillPresent(root)) {
        FMsg(ui->Memo1, QStringLiteral("선택한 드라이브에 SD카드가 없습니다"));
        FMsg(ui->Memo1, notDownloadedLine(target));
        return;
    }
    // One call at a time on a card: no read of it starts while the download runs.
    if (!cards_->claim(card, card::CardAccess::Kind::Download))
        return;
    card::DatabaseSource source{*url,
                                UserInfo.Path,
                                UserInfo.FileName,
                                UserInfo.Version,
                                UserInfo.FileSize,
                                UserInfo.FileSha256};
    card::DatabaseSettings settings;
    settings.stagingFolder = platform::current().cacheFolder();
    setDownloading(true);
    downloadCard_ = card;
    closeWhenDone_ = endAsked_ = endNow_ = false;
    download_ = std::make_unique<card::DatabaseRun>(
        this, std::move(source),
        card::DatabaseTarget{root, folder, card::kCardInfoName, FbbSave()}, std::move(settings),
        [this](std::int64_t received, std::int64_t total) {
            showDownloadProgress(received, total);
        },
        [this, card, folder](const card::DatabaseOutcome& outcome) {
            runGuarded([&] { finishDownload(card, folder, outcome); });
            if (closeWhenDone_) {
                close();
                return;
            }
            if (drivesChangePending_ && !isDownloading())
                runGuarded([this] { drivesChanged(); });
        },
        [this, target] {
            if (!download_)
                return;
            ui->ProgressBar1->setRange(0, kProgressSteps);
            ui->ProgressBar1->setValue(kProgressSteps);
            FMsg(ui->Memo1, downloadedLine(target));
        });
    cardWatch_->start();
}

void TFMain::downloadCardGone() {
    const bool touched = !card::untouched(download_->control().phase());
    const QString target =
        card::cardFilePath(downloadCard_.root, card::cardFolder(UserInfo.DownDir),
                           card::kDatabaseName);
    download_->cancel();
    download_.reset();
    cards_->release(downloadCard_);
    downloadCard_ = {};
    setDownloading(false);
    ui->ProgressBar1->setRange(0, kProgressSteps);
    ui->ProgressBar1->setValue(0);
    if (touched)
        FMsg(ui->Memo1, QStringLiteral(
                            "새 데이터베이스를 쓰는 중에 SD카드가 빠졌습니다. SD카드에 "
                            "데이터베이스가 없을 수 있으니 다시 꽂고 다운로드를 다시 눌러 주세요"));
    else
        FMsg(ui->Memo1, QStringLiteral("다운로드하는 동안 SD카드가 빠졌습니다"));
    FMsg(ui->Memo1, notDownloadedLine(target));
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

void TFMain::finishDownload(const card::CardKey& card, const QString& folder,
                            const card::DatabaseOutcome& outcome) {
    const QString target = card::cardFilePath(card.root, folder, card::kDatabaseName);
    download_.reset();
    cards_->release(downloadCard_);
    downloadCard_ = {};
    setDownloading(false);
    ui->ProgressBar1->setRange(0, kProgressSteps);
    if (!outcome.ok()) {
        ui->ProgressBar1->setValue(0);
        if (outcome.fault == platform::BodyFault::NotACard) {
            // A folder, link or pipe in the card info file's place: no dashcam's card. Said in
            // the download's own words; the card read's wording and bDrCheck are not its own.
            FMsg(ui->Memo1, card::cardFilePath(card.root, folder, card::kCardInfoName));
            FMsg(ui->Memo1, card::failureReason(outcome));
            FMsg(ui->Memo1, notDownloadedLine(target));
            clearCardFields();
            return;
        }
        // The failure line stays the newest, as when nothing is known of why; the lines
        // below it say why.
        FMsg(ui->Memo1, card::failureReason(outcome));
        if (outcome.oldRemoved)
            FMsg(ui->Memo1, card::removedDatabaseNote());
        FMsg(ui->Memo1, notDownloadedLine(target));
        return;
    }
    // The success line was said when the file was put in place; then the card info file.
    if (outcome.cardInfo)
        cardInfoWritten(card::cardFilePath(card.root, folder, card::kCardInfoName),
                        *outcome.cardInfo);
}

bool TFMain::askToEndWhileWriting() {
    if (endAsked_)
        return false;
    endAsked_ = true;
    // The driver's choice: ended at once, the worker is not waited for.
    endNow_ = platform::current().askYesNo(this, endWhileWritingQuestion(), sTitle);
    return endNow_;
}

void TFMain::closeEvent(QCloseEvent* event) {
    if (!isDownloading() || endNow_) {
        QWidget::closeEvent(event);
        return;
    }
    event->ignore();
    card::DownloadControl& control = download_->control();
    if (closeWhenDone_) {
        // Pressed again while the card is written.
        if (askToEndWhileWriting())
            QWidget::closeEvent(event);
        return;
    }
    // Nothing on the card changes while the driver is asked.
    if (control.holdCommit()) {
        const auto release = qScopeGuard([this] {
            if (download_)
                download_->control().releaseCommit();
        });
        const bool stop = platform::current().askYesNo(
            this,
            QStringLiteral("데이터베이스를 SD카드에 받는 중입니다. 다운로드를 멈추고 "
                           "프로그램을 끝낼까요?\n(SD카드의 이전 데이터베이스는 그대로 "
                           "남습니다)"),
            sTitle);
        if (!stop)
            return;
        // Stopped before the commit: the old database stays. The worker is not waited for, a
        // card that has stopped answering may hold it until it is pulled.
        if (download_) {
            download_->cancel();
            download_.reset();
            cards_->release(downloadCard_);
            downloadCard_ = {};
        }
        endNow_ = true;
        QWidget::closeEvent(event);
        return;
    }
    // The old database is already being replaced: the window waits for the card, and ends
    // when it is written.
    closeWhenDone_ = true;
    FMsg(ui->Memo1, writingOnCloseLine());
}
