#include "card/database_download.h"

#include <QDir>
#include <QScopeGuard>
#include <QFile>
#include <QStringList>
#include <cerrno>
#include <vector>

#include "base/errors.h"
#include "base/sha256.h"
#include "base/text.h"
#include "card/card_info.h"
#include "card/card_paths.h"
#include "platform/folder_handle.h"
#include "platform/replacing_file.h"

namespace card {
namespace {

using platform::BodyFault;
using platform::CardCall;
using platform::FolderHandle;
using platform::OnCard;
using platform::ReplacingFile;

constexpr qint64 kMiB = 1024 * 1024;
// Beyond the file's own bytes: cluster rounding and the folder's entries.
constexpr qint64 kRoomMargin = kMiB;
constexpr std::size_t kCopyPiece = ReplacingFile::kBufferBytes;
const QString kSourceNote = QStringLiteral("rp_cam.idb.source");
const std::atomic<bool> kNeverCancelled{false};

struct Declared {
    std::optional<qint64> size;
    QByteArray sha256;  // 32 bytes, or empty when not declared
    bool valid = true;
    bool complete() const { return size && !sha256.isEmpty(); }
};

Declared parseDeclared(const DatabaseSource& source) {
    Declared declared;
    bool sizeValid = true;
    declared.size = parseDeclaredSize(source.declaredSize, &sizeValid);
    const QByteArray hex = source.declaredSha256.trimmed().toLatin1();
    if (!source.declaredSha256.trimmed().isEmpty()) {
        declared.sha256 = sha256FromHex(hex);
        if (declared.sha256.isEmpty())
            declared.valid = false;
    }
    declared.valid = declared.valid && sizeValid;
    return declared;
}

enum class Plan { Beside, ThroughComputer, NoRoom };

Plan planFor(qint64 bytes, qint64 freeBytes, qint64 oldBytes) {
    if (freeBytes < 0 || bytes + kRoomMargin <= freeBytes)
        return Plan::Beside;
    if (bytes + kRoomMargin <= freeBytes + oldBytes)
        return Plan::ThroughComputer;
    return Plan::NoRoom;
}

DatabaseOutcome failed(BodyFault fault, const QString& detail = {}) {
    DatabaseOutcome outcome;
    outcome.fault = fault;
    outcome.detail = detail;
    return outcome;
}

DatabaseOutcome noRoom(qint64 needed, qint64 freeBytes) {
    DatabaseOutcome outcome = failed(BodyFault::NoRoom);
    outcome.neededBytes = needed;
    outcome.freeBytes = freeBytes;
    return outcome;
}

BodyFault writeFault(const ReplacingFile& file) {
    switch (file.failure()) {
        case ReplacingFile::Failure::ReadBack:
            return BodyFault::ReadBack;
        case ReplacingFile::Failure::WriteProtected:
            return BodyFault::WriteProtected;
        default:
            return BodyFault::Storage;
    }
}

// A removal the card refused: errno as FolderHandle::removeFile leaves it.
BodyFault removalFault(int error) {
    return error == EROFS ? BodyFault::WriteProtected : BodyFault::Storage;
}

// A checked copy kept on the computer, and what it is a copy of.
struct StagedCopy {
    QString path;
    qint64 size = 0;
    QByteArray sha256;
};

QStringList sourceNoteLines(const DatabaseSource& source, qint64 size, const QByteArray& sha256) {
    return {source.path, source.fileName, source.version, QString::number(size),
            QString::fromLatin1(sha256.toHex())};
}

void forgetStagedCopy(const QString& folder) {
    QFile::remove(folder + kDatabaseName);
    QFile::remove(folder + kSourceNote);
}

// The copy that an earlier attempt checked, when it is of the file this answer names.
std::optional<StagedCopy> stagedCopyFor(const QString& folder, const DatabaseSource& source,
                                        const Declared& declared) {
    if (folder.isEmpty() || !QFile::exists(folder + kSourceNote))
        return std::nullopt;
    QFile note(folder + kSourceNote);
    if (!note.open(QIODevice::ReadOnly) || note.size() > 64 * 1024)
        return std::nullopt;
    const QStringList lines = splitLines(QString::fromUtf8(note.readAll()));
    note.close();
    StagedCopy copy;
    copy.path = folder + kDatabaseName;
    // A sixth line names the card the copy was meant for; it is kept for the reader of the
    // note, any card may take the copy.
    if (lines.size() == 5 || lines.size() == 6) {
        bool ok = false;
        copy.size = lines[3].toLongLong(&ok);
        copy.sha256 = sha256FromHex(lines[4].toLatin1());
        const bool same = ok && !copy.sha256.isEmpty() && lines[0] == source.path &&
                          lines[1] == source.fileName && lines[2] == source.version &&
                          (!declared.size || *declared.size == copy.size) &&
                          (declared.sha256.isEmpty() || declared.sha256 == copy.sha256) &&
                          QFileInfo(copy.path).size() == copy.size;
        if (same)
            return copy;
    }
    // Of another file: it only takes room on the computer.
    forgetStagedCopy(folder);
    return std::nullopt;
}

// What a killed or powered-off attempt left beside the database is ours, and takes room the
// new file needs.
void removeLeftover(const FolderHandle& card) {
    card.removeFile(kDatabaseName + QStringLiteral(".part"));
}

struct Fetch;
std::optional<DatabaseOutcome> check(const TransferOutcome& outcome, const Declared& declared,
                                     Fetch& fetched);

// What every phase of one download needs.
struct Run {
    const DatabaseSource& source;
    const DatabaseTarget& target;
    const DatabaseSettings& settings;
    const DatabaseProgress& progress;
    const std::atomic<bool>& cancel;
    platform::CardCallClock* clock = nullptr;
    // Once the card's database has begun to change, nothing but a failing card stops it.
    mutable bool committing = false;
};

// The card as the download found it: its folder, held open, and its room.
struct CardRoom {
    FolderHandle folder;
    qint64 oldBytes = 0;
    qint64 freeBytes = -1;
};

// The last moment before the card's database changes: still the card the download checked (a
// card swapped into the same reader is left untouched), and the driver has not stopped it. The
// phase becomes Committing.
std::optional<DatabaseOutcome> mayCommit(const FolderHandle& card, const Run& run) {
    {
        const OnCard call(run.clock, CardCall::Look, card.path());
        if (!card.stillAtItsPath())
            return failed(BodyFault::OtherCard);
    }
    if (run.committing)
        return std::nullopt;
    if (DownloadControl* control = run.settings.control) {
        if (!control->beginCommit())
            return failed(BodyFault::Cancelled);
    } else if (run.cancel) {
        return failed(BodyFault::Cancelled);
    }
    run.committing = true;
    return std::nullopt;
}

// Opens the card folder, refuses what is no dashcam's card or takes no writes, takes the lock
// and sees what room there is; nothing is fetched before this has passed.
std::optional<DatabaseOutcome> lookAtCard(const Run& run, CardRoom& room,
                                          std::shared_ptr<platform::CardLock>& cardLock) {
    try {
        const OnCard call(run.clock, CardCall::Look, run.target.driveRoot);
        room.folder = FolderHandle::openBeneath(run.target.driveRoot, run.target.folder);
        const FolderHandle& card = room.folder;
        const QString& cardInfo = run.target.cardInfoName;
        if (!cardInfo.isEmpty() && card.contains(cardInfo) && !card.holdsRegularFile(cardInfo))
            return failed(BodyFault::NotACard);
        // Known before a byte is fetched, also when the file would go by the computer first.
        if (card.readOnlyVolume())
            return failed(BodyFault::WriteProtected);
        cardLock = platform::CardLock::take(card);
        if (!cardLock)
            return failed(platform::CardLock::heldByEndingCopy(card) ? BodyFault::CardEnding
                                                                     : BodyFault::CardBusy);
        removeLeftover(card);
        room.oldBytes = card.regularFileSize(kDatabaseName).value_or(0);
        room.freeBytes = card.freeBytes();
    } catch (const FileError& e) {
        return failed(BodyFault::Storage, e.text());
    }
    return std::nullopt;
}

// Moves a checked copy from the computer onto a card that has room for it only once the
// old database is gone.
DatabaseOutcome installStagedCopy(const FolderHandle& card, const StagedCopy& copy,
                                  const Run& run) {
    platform::CardCallClock* const clock = run.clock;
    qint64 oldBytes = 0;
    qint64 freeBytes = -1;
    try {
        const OnCard call(clock, CardCall::Look, card.path());
        removeLeftover(card);
        oldBytes = card.regularFileSize(kDatabaseName).value_or(0);
        freeBytes = card.freeBytes();
    } catch (const FileError& e) {
        return failed(BodyFault::Storage, e.text());
    }
    if (planFor(copy.size, freeBytes, oldBytes) == Plan::NoRoom)
        return noRoom(copy.size + kRoomMargin, freeBytes);

    QFile source(copy.path);
    if (!source.open(QIODevice::ReadOnly))
        return failed(BodyFault::Storage, source.errorString());
    if (run.cancel)
        return failed(BodyFault::Cancelled);
    ReplacingFile file;
    file.watchCalls(clock);
    std::optional<DatabaseOutcome> refused;
    if (oldBytes > 0) {
        // The card goes without a database from here: the commit starts with the removal.
        if ((refused = mayCommit(card, run)))
            return *refused;
        const OnCard call(clock, CardCall::Write, card.path());
        if (!card.removeFile(kDatabaseName)) {
            const int error = errno;
            return failed(removalFault(error), systemErrorText(error));
        }
        card.sync();
    } else {
        // Nothing to make room for: the commit is the rename, as for a file written beside.
        file.stopWhen(&run.cancel);
    }
    // After a removal it only checks that the card is still the same one.
    file.beforeRename([&] {
        refused = mayCommit(card, run);
        return !refused;
    });
    const auto afterRemoval = [oldBytes](DatabaseOutcome outcome) {
        outcome.oldRemoved = oldBytes > 0;
        return outcome;
    };
    // Once the old file is gone, only a failing card stops the copy: a card left without a
    // database helps no one.
    const std::atomic<bool>& cancel = oldBytes > 0 ? kNeverCancelled : run.cancel;
    if (!file.open(card, kDatabaseName))
        return afterRemoval(failed(writeFault(file), file.errorText()));
    std::vector<char> piece(kCopyPiece);
    qint64 copied = 0;
    for (;;) {
        if (cancel) {
            file.discard();
            return afterRemoval(failed(BodyFault::Cancelled));
        }
        const qint64 n = source.read(piece.data(), static_cast<qint64>(piece.size()));
        if (n < 0) {
            file.discard();
            return afterRemoval(failed(BodyFault::Storage, source.errorString()));
        }
        if (n == 0)
            break;
        if (!file.write(piece.data(), static_cast<std::size_t>(n)))
            return afterRemoval(failed(writeFault(file), file.errorText()));
        copied += n;
        if (run.progress)
            run.progress(copied, copy.size);
    }
    if (copied != copy.size) {
        file.discard();
        return afterRemoval(failed(BodyFault::Storage, QStringLiteral("컴퓨터에 보관한 파일이 바뀌었습니다")));
    }
    if (!file.commit(copy.sha256)) {
        if (refused)
            return afterRemoval(*refused);
        if (oldBytes == 0 && run.cancel)
            return failed(BodyFault::Cancelled);
        return afterRemoval(failed(writeFault(file), file.errorText()));
    }
    DatabaseOutcome done;
    done.readBackMs = file.readBackMs();
    return done;
}

// The file arriving from the host: where its bytes go is decided by the size, declared or
// announced by the head.
struct Fetch {
    ReplacingFile file;
    FolderHandle staging;
    std::optional<Plan> plan;
    std::int64_t received = 0;
    QByteArray digest;
};

std::optional<DatabaseOutcome> fetch(const Run& run, const Declared& declared,
                                     const CardRoom& room, Fetch& into) {
    ReplacingFile& file = into.file;
    std::optional<Plan>& plan = into.plan;
    if (declared.size) {
        plan = planFor(*declared.size, room.freeBytes, room.oldBytes);
        if (plan == Plan::NoRoom)
            return noRoom(*declared.size + kRoomMargin, room.freeBytes);
    }
    file.stopWhen(&run.cancel);
    std::int64_t limit = 0;
    std::int64_t total = -1;
    bool headSeen = false;
    DatabaseOutcome refusal;  // set when the head or the sink stops the transfer
    // Only the card's own refusal is the lock switch; the copy on the computer is never.
    const auto fileFault = [&] {
        return *plan == Plan::ThroughComputer ? BodyFault::Storage : writeFault(file);
    };
    const HeadCallback onHead = [&](const ResponseHead& head) {
        headSeen = true;
        if (const BodyFault fault = platform::judgeHead(head); fault != BodyFault::None) {
            refusal = failed(fault);
            refusal.status = head.status;
            return false;
        }
        std::optional<qint64> size = declared.size;
        if (!size && head.contentLength)
            size = *head.contentLength;
        if (declared.size && head.contentLength && *head.contentLength != *declared.size) {
            refusal = failed(BodyFault::SizeMismatch);
            return false;
        }
        if (!plan && size) {
            plan = planFor(*size, room.freeBytes, room.oldBytes);
            if (plan == Plan::NoRoom) {
                refusal = noRoom(*size + kRoomMargin, room.freeBytes);
                return false;
            }
        }
        if (!plan)
            plan = Plan::Beside;
        total = size ? *size : -1;
        // Never more than the file was said to be, nor more than the card can take.
        limit = size ? *size
                     : (room.freeBytes >= 0 ? std::max<qint64>(room.freeBytes - kRoomMargin, 0)
                                            : 0);
        bool opened = false;
        if (*plan == Plan::ThroughComputer) {
            try {
                QDir().mkpath(run.settings.stagingFolder);
                into.staging = FolderHandle::open(run.settings.stagingFolder);
                opened = file.open(into.staging, kDatabaseName);
            } catch (const FileError& e) {
                refusal = failed(BodyFault::Storage, e.text());
                return false;
            }
        } else {
            file.watchCalls(run.clock);
            opened = file.open(room.folder, kDatabaseName);
        }
        if (!opened)
            refusal = failed(fileFault(), file.errorText());
        // Hashed beside the writes, off the receiving thread.
        file.hashWrites();
        return opened;
    };
    const BodySink sink = [&](const char* data, std::size_t size) {
        if (limit > 0 && into.received + static_cast<std::int64_t>(size) > limit) {
            refusal = failed(BodyFault::TooLong);
            return false;
        }
        if (!file.write(data, size)) {
            refusal = failed(fileFault(), file.errorText());
            return false;
        }
        into.received += static_cast<std::int64_t>(size);
        return true;
    };
    const ProgressCallback onProgress = [&](std::int64_t bytes, std::int64_t) {
        if (run.progress)
            run.progress(bytes, total);
    };

    TransferOutcome outcome;
    try {
        outcome = httpTransfer(HttpRequest{run.source.url, false, {}, {}, &run.cancel},
                               run.settings.limits, sink, onProgress, {}, onHead);
    } catch (const TransferCancelled&) {
        file.discard();
        return failed(BodyFault::Cancelled);
    } catch (const AppError& e) {
        file.discard();
        if (refusal.fault != BodyFault::None)
            return refusal;
        return failed(headSeen && into.received > 0 ? BodyFault::Partial : BodyFault::Transport,
                      e.text());
    }
    outcome.received = into.received;
    return check(outcome, declared, into);
}

}  // namespace

std::optional<qint64> parseDeclaredSize(const QString& text, bool* valid) {
    *valid = true;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    bool ok = trimmed.size() <= 18;
    for (const QChar c : trimmed)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!ok) {
        *valid = false;
        return std::nullopt;
    }
    return trimmed.toLongLong();
}

namespace {

std::optional<DatabaseOutcome> check(const TransferOutcome& outcome, const Declared& declared,
                                     Fetch& fetched) {
    if (const BodyFault fault = platform::judgeBody(outcome, declared.complete());
        fault != BodyFault::None) {
        fetched.file.discard();
        DatabaseOutcome result = failed(fault);
        result.status = outcome.status;
        return result;
    }
    fetched.digest = fetched.file.writtenSha256();
    if (declared.size && fetched.received != *declared.size) {
        fetched.file.discard();
        return failed(BodyFault::SizeMismatch);
    }
    if (!declared.sha256.isEmpty() && fetched.digest != declared.sha256) {
        fetched.file.discard();
        return failed(BodyFault::HashMismatch);
    }
    return std::nullopt;
}

// The checked file onto the card: renamed over the old one, or kept on the computer and
// copied in once the old one has made room.
DatabaseOutcome commit(const Run& run, const CardRoom& room, Fetch& fetched) {
    if (*fetched.plan == Plan::Beside) {
        const FolderHandle& card = room.folder;
        std::optional<DatabaseOutcome> refused;
        fetched.file.beforeRename([&] {
            refused = mayCommit(card, run);
            return !refused;
        });
        if (!fetched.file.commit(fetched.digest)) {
            if (refused)
                return *refused;
            return failed(run.cancel ? BodyFault::Cancelled : writeFault(fetched.file),
                          fetched.file.errorText());
        }
        DatabaseOutcome done;
        done.readBackMs = fetched.file.readBackMs();
        return done;
    }
    const QString& staging = run.settings.stagingFolder;
    if (!fetched.file.commit())
        return failed(BodyFault::Storage, fetched.file.errorText());
    try {
        // Which file it is, and for which card: the next attempt reuses it only for the same.
        QStringList note = sourceNoteLines(run.source, fetched.received, fetched.digest);
        note << run.target.driveRoot + run.target.folder;
        platform::replaceFileContents(fetched.staging.filePath(kSourceNote),
                                      note.join(QLatin1Char('\n')).toUtf8());
    } catch (const FileError& e) {
        forgetStagedCopy(staging);
        return failed(BodyFault::Storage, e.text());
    }
    DatabaseOutcome installed = installStagedCopy(
        room.folder,
        StagedCopy{fetched.staging.filePath(kDatabaseName), fetched.received, fetched.digest},
        run);
    if (installed.ok() || !installed.oldRemoved)
        forgetStagedCopy(staging);
    return installed;
}

DatabaseOutcome downloadLocked(const Run& run, std::shared_ptr<platform::CardLock>& cardLock,
                               CardRoom& room) {
    const Declared declared = parseDeclared(run.source);
    if (!declared.valid)
        return failed(BodyFault::BadDeclaration);
    if (std::optional<DatabaseOutcome> refused = lookAtCard(run, room, cardLock))
        return *refused;
    if (const std::optional<StagedCopy> copy =
            stagedCopyFor(run.settings.stagingFolder, run.source, declared)) {
        DatabaseOutcome outcome = installStagedCopy(room.folder, *copy, run);
        if (outcome.ok())
            forgetStagedCopy(run.settings.stagingFolder);
        return outcome;
    }
    Fetch fetched;
    if (std::optional<DatabaseOutcome> failure = fetch(run, declared, room, fetched))
        return *failure;
    return commit(run, room, fetched);
}

}  // namespace

DatabaseOutcome downloadDatabase(const DatabaseSource& source, const DatabaseTarget& target,
                                 const DatabaseSettings& settings, const DatabaseProgress& progress,
                                 const std::atomic<bool>& cancel) {
    platform::CardCallClock* clock = settings.cardClock;
    if (!clock && settings.control)
        clock = &settings.control->clock();
    const Run run{source, target, settings, progress, cancel, clock};
    std::shared_ptr<platform::CardLock> cardLock;
    CardRoom room;
    // Letting go of the card folder and the lock are calls on the card too.
    const auto letGo = qScopeGuard([&] {
        const OnCard call(clock, CardCall::Look, room.folder.path());
        cardLock.reset();
        room.folder = FolderHandle();
    });
    DatabaseOutcome outcome = downloadLocked(run, cardLock, room);
    if (!outcome.ok())
        return outcome;
    if (settings.control)
        settings.control->enter(CardPhase::Rewriting);
    if (settings.onCommitted)
        settings.onCommitted();
    if (target.cardInfo) {
        // Through the folder the database went into, still under the download's lock.
        outcome.cardInfo = rewriteCardInfo(room.folder, target.driveRoot, *target.cardInfo, clock);
    } else {
        // The caller writes the card info file under the same lock.
        outcome.cardLock = std::move(cardLock);
    }
    return outcome;
}

QString failureReason(const DatabaseOutcome& outcome) {
    switch (outcome.fault) {
        case BodyFault::None:
            return {};
        case BodyFault::Transport:
            return QStringLiteral("파일 서버에 연결하지 못했습니다");
        case BodyFault::Status:
            return QStringLiteral("파일 서버가 파일 대신 오류를 보냈습니다 (HTTP %1)")
                .arg(outcome.status);
        case BodyFault::Encoded:
            return QStringLiteral("파일 서버가 알 수 없는 압축 형식으로 보냈습니다");
        case BodyFault::WebPage:
            return QStringLiteral(
                "데이터베이스 대신 웹 페이지를 받았습니다 (인터넷 연결을 "
                "확인하세요)");
        case BodyFault::Empty:
            return QStringLiteral("파일 서버가 빈 파일을 보냈습니다");
        case BodyFault::Partial:
            return QStringLiteral("파일의 일부만 받았습니다 (연결이 끊겼습니다)");
        case BodyFault::EndedByClose:
            return QStringLiteral("파일을 끝까지 받았는지 확인할 수 없습니다");
        case BodyFault::TooLong:
            return QStringLiteral("파일이 알려진 크기보다 커서 받기를 멈췄습니다");
        case BodyFault::SizeMismatch:
            return QStringLiteral("받은 파일의 크기가 서비스가 알려 준 크기와 다릅니다");
        case BodyFault::HashMismatch:
            return QStringLiteral(
                "받은 파일이 서비스가 알려 준 파일과 다릅니다 (SHA-256 "
                "불일치)");
        case BodyFault::BadDeclaration:
            return QStringLiteral("서비스가 알려 준 파일 크기나 SHA-256 값이 올바르지 않습니다");
        case BodyFault::NoRoom:
            return QStringLiteral("SD카드의 여유 공간이 부족합니다 (필요 %1MB, 여유 %2MB)")
                .arg((outcome.neededBytes + kMiB - 1) / kMiB)
                .arg(outcome.freeBytes / kMiB);
        case BodyFault::Storage:
            return QStringLiteral("SD카드에 파일을 쓰지 못했습니다");
        case BodyFault::WriteProtected:
            // The lock switch, or a policy of the computer's that keeps removable drives
            // read-only: the system does not say which.
            return QStringLiteral(
                "SD카드에 쓸 수 없습니다 (SD카드 옆면의 잠금 스위치를 풀고 다시 꽂아 주세요. "
                "잠금 스위치가 풀려 있으면 이 컴퓨터가 이동식 디스크에 쓰는 것을 막고 있을 수 "
                "있습니다)");
        case BodyFault::CardBusy:
            return QStringLiteral(
                "다른 프로그램이 이 SD카드에 쓰는 중입니다. 그 작업이 끝난 뒤 다시 받아 "
                "주세요");
        case BodyFault::CardEnding:
            return QStringLiteral(
                "앞서 닫은 이 프로그램이 아직 이 SD카드의 작업을 마치는 중입니다. 잠시 뒤 다시 "
                "받아 주세요 (계속되면 SD카드를 뺐다가 다시 꽂아 주세요)");
        case BodyFault::ReadBack:
            return QStringLiteral(
                "SD카드가 파일을 올바르게 저장하지 못했습니다 (다시 읽은 "
                "내용이 다릅니다)");
        case BodyFault::Cancelled:
            return QStringLiteral("다운로드를 멈췄습니다");
        case BodyFault::NotACard:
            return notACardFileReason();
        case BodyFault::OtherCard:
            return QStringLiteral(
                "다운로드하는 동안 드라이브의 SD카드가 바뀌었습니다. 새로 꽂은 SD카드에는 "
                "아무것도 쓰지 않았습니다");
    }
    return {};
}

QString removedDatabaseNote() {
    return QStringLiteral(
        "SD카드의 이전 데이터베이스는 지워졌습니다. 확인된 새 파일이 컴퓨터에 "
        "보관되어 있으니 다운로드를 다시 누르세요");
}

}  // namespace card
