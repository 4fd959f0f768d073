#include "card/database_download.h"

#include <QDir>
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
    if (lines.size() == 5) {
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

// Moves a checked copy from the computer onto a card that has room for it only once the
// old database is gone.
DatabaseOutcome installStagedCopy(const FolderHandle& card, const StagedCopy& copy,
                                  const DatabaseProgress& progress, const std::atomic<bool>& cancel,
                                  platform::CardCallClock* clock) {
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
    if (cancel)
        return failed(BodyFault::Cancelled);
    if (oldBytes > 0) {
        const OnCard call(clock, CardCall::Write, card.path());
        if (!card.removeFile(kDatabaseName)) {
            const int error = errno;
            return failed(removalFault(error), systemErrorText(error));
        }
        card.sync();
    }
    const auto afterRemoval = [oldBytes](DatabaseOutcome outcome) {
        outcome.oldRemoved = oldBytes > 0;
        return outcome;
    };
    ReplacingFile file;
    file.watchCalls(clock);
    file.stopWhen(&cancel);
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
        if (progress)
            progress(copied, copy.size);
    }
    if (copied != copy.size) {
        file.discard();
        return afterRemoval(failed(BodyFault::Storage, QStringLiteral("The kept copy changed")));
    }
    if (!file.commit(copy.sha256)) {
        if (cancel)
            return afterRemoval(failed(BodyFault::Cancelled));
        return afterRemoval(failed(writeFault(file), file.errorText()));
    }
    DatabaseOutcome done;
    done.readBackMs = file.readBackMs();
    return done;
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

DatabaseOutcome downloadLocked(const DatabaseSource& source, const DatabaseTarget& target,
                               const DatabaseSettings& settings, const DatabaseProgress& progress,
                               const std::atomic<bool>& cancel,
                               std::shared_ptr<platform::CardLock>& cardLock) {
    const Declared declared = parseDeclared(source);
    if (!declared.valid)
        return failed(BodyFault::BadDeclaration);

    platform::CardCallClock* const clock = settings.cardClock;
    FolderHandle card;
    qint64 oldBytes = 0;
    qint64 freeBytes = -1;
    try {
        const OnCard call(clock, CardCall::Look, target.driveRoot);
        card = FolderHandle::openBeneath(target.driveRoot, target.folder);
        if (!target.cardInfoName.isEmpty() && card.contains(target.cardInfoName) &&
            !card.holdsRegularFile(target.cardInfoName))
            return failed(BodyFault::NotACard);
        // Known before a byte is fetched, also when the file would go by the computer first.
        if (card.readOnlyVolume())
            return failed(BodyFault::WriteProtected);
        cardLock = platform::CardLock::take(card);
        if (!cardLock)
            return failed(platform::CardLock::heldByEndingCopy(card) ? BodyFault::CardEnding
                                                                     : BodyFault::CardBusy);
        removeLeftover(card);
        oldBytes = card.regularFileSize(kDatabaseName).value_or(0);
        freeBytes = card.freeBytes();
    } catch (const FileError& e) {
        return failed(BodyFault::Storage, e.text());
    }
    if (const std::optional<StagedCopy> copy =
            stagedCopyFor(settings.stagingFolder, source, declared)) {
        DatabaseOutcome outcome = installStagedCopy(card, *copy, progress, cancel, clock);
        if (outcome.ok())
            forgetStagedCopy(settings.stagingFolder);
        return outcome;
    }

    // Where the bytes go is decided by the size: declared, or announced by the head.
    std::optional<Plan> plan;
    if (declared.size) {
        plan = planFor(*declared.size, freeBytes, oldBytes);
        if (plan == Plan::NoRoom)
            return noRoom(*declared.size + kRoomMargin, freeBytes);
    }
    ReplacingFile file;
    file.stopWhen(&cancel);
    FolderHandle staging;
    std::int64_t received = 0;
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
            plan = planFor(*size, freeBytes, oldBytes);
            if (plan == Plan::NoRoom) {
                refusal = noRoom(*size + kRoomMargin, freeBytes);
                return false;
            }
        }
        if (!plan)
            plan = Plan::Beside;
        total = size ? *size : -1;
        // Never more than the file was said to be, nor more than the card can take.
        limit = size ? *size : (freeBytes >= 0 ? std::max<qint64>(freeBytes - kRoomMargin, 0) : 0);
        bool opened = false;
        if (*plan == Plan::ThroughComputer) {
            try {
                QDir().mkpath(settings.stagingFolder);
                staging = FolderHandle::open(settings.stagingFolder);
                opened = file.open(staging, kDatabaseName);
            } catch (const FileError& e) {
                refusal = failed(BodyFault::Storage, e.text());
                return false;
            }
        } else {
            file.watchCalls(clock);
            opened = file.open(card, kDatabaseName);
        }
        if (!opened)
            refusal = failed(fileFault(), file.errorText());
        // Hashed beside the writes, off the receiving thread.
        file.hashWrites();
        return opened;
    };
    const BodySink sink = [&](const char* data, std::size_t size) {
        if (limit > 0 && received + static_cast<std::int64_t>(size) > limit) {
            refusal = failed(BodyFault::TooLong);
            return false;
        }
        if (!file.write(data, size)) {
            refusal = failed(fileFault(), file.errorText());
            return false;
        }
        received += static_cast<std::int64_t>(size);
        return true;
    };
    const ProgressCallback onProgress = [&](std::int64_t bytes, std::int64_t) {
        if (progress)
            progress(bytes, total);
    };

    TransferOutcome outcome;
    try {
        outcome = httpTransfer(HttpRequest{source.url, false, {}, {}, &cancel}, settings.limits,
                               sink, onProgress, {}, onHead);
    } catch (const TransferCancelled&) {
        file.discard();
        return failed(BodyFault::Cancelled);
    } catch (const AppError& e) {
        file.discard();
        if (refusal.fault != BodyFault::None)
            return refusal;
        return failed(headSeen && received > 0 ? BodyFault::Partial : BodyFault::Transport,
                      e.text());
    }
    outcome.received = received;
    if (const BodyFault fault = platform::judgeBody(outcome, declared.complete());
        fault != BodyFault::None) {
        file.discard();
        DatabaseOutcome result = failed(fault);
        result.status = outcome.status;
        return result;
    }
    const QByteArray digest = file.writtenSha256();
    if (declared.size && received != *declared.size) {
        file.discard();
        return failed(BodyFault::SizeMismatch);
    }
    if (!declared.sha256.isEmpty() && digest != declared.sha256) {
        file.discard();
        return failed(BodyFault::HashMismatch);
    }

    if (*plan == Plan::Beside) {
        if (!file.commit(digest))
            return failed(cancel ? BodyFault::Cancelled : writeFault(file), file.errorText());
        DatabaseOutcome done;
        done.readBackMs = file.readBackMs();
        return done;
    }
    // Checked, and kept on the computer until the card has taken it.
    if (!file.commit())
        return failed(BodyFault::Storage, file.errorText());
    try {
        platform::replaceFileContents(
            staging.filePath(kSourceNote),
            sourceNoteLines(source, received, digest).join(QLatin1Char('\n')).toUtf8());
    } catch (const FileError& e) {
        forgetStagedCopy(settings.stagingFolder);
        return failed(BodyFault::Storage, e.text());
    }
    DatabaseOutcome installed =
        installStagedCopy(card, StagedCopy{staging.filePath(kDatabaseName), received, digest},
                          progress, cancel, clock);
    if (installed.ok() || !installed.oldRemoved)
        forgetStagedCopy(settings.stagingFolder);
    return installed;
}

}  // namespace

DatabaseOutcome downloadDatabase(const DatabaseSource& source, const DatabaseTarget& target,
                                 const DatabaseSettings& settings, const DatabaseProgress& progress,
                                 const std::atomic<bool>& cancel) {
    std::shared_ptr<platform::CardLock> cardLock;
    DatabaseOutcome outcome = downloadLocked(source, target, settings, progress, cancel, cardLock);
    // Only a download that worked has its card info written afterwards.
    if (outcome.ok())
        outcome.cardLock = std::move(cardLock);
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
            return QStringLiteral(
                "SD카드가 쓰기 금지되어 있습니다 (SD카드 옆면의 잠금 스위치를 풀고 다시 "
                "꽂아 주세요)");
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
    }
    return {};
}

QString removedDatabaseNote() {
    return QStringLiteral(
        "SD카드의 이전 데이터베이스는 지워졌습니다. 확인된 새 파일이 컴퓨터에 "
        "보관되어 있으니 다운로드를 다시 누르세요");
}

}  // namespace card
