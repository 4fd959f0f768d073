#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "base/http_transfer.h"
#include "card/card_files.h"
#include "card/card_phase.h"
#include "platform/card_calls.h"
#include "platform/card_lock.h"
#include "platform/downloads.h"

// The database's way from the file host onto the card: whole or nothing, checked against
// the size and hash the service declares, read back from the card, and fitted onto a card
// that is nearly full. Needs no window; runs on a worker thread.
namespace card {

// The file as the download answer names it.
struct DatabaseSource {
    QString url;
    QString path;            // "sfd_filepath"
    QString fileName;        // "sfd_filename"
    QString version;         // "sfd_version"
    QString declaredSize;    // "sfd_size" as sent; empty when absent
    QString declaredSha256;  // "sfd_sha256" as sent; empty when absent
};

struct DatabaseTarget {
    QString driveRoot;  // ending in "/"
    QString folder;     // the card folder beneath it; empty for the root
    // When set, something other than a regular file of this name in the folder (which no
    // dashcam writes) stops the download before anything is fetched.
    QString cardInfoName{};
    // When set, backbbinfo.cfg is rewritten with it once the new database is in place, through
    // the same folder on the same card.
    std::optional<CardInfoUpdate> cardInfo{};
};

struct DatabaseSettings {
    TransferLimits limits{5000, 30000, 0};
    // Where a database is kept on the computer while the card makes room for it.
    QString stagingFolder;
    // Times each call on the card, for the window that tells a card that stopped answering.
    platform::CardCallClock* cardClock = nullptr;
    // The phase, the hold on the commit and the stop, shared with the window; without one the
    // commit is held by nothing and only the cancel flag stops it.
    DownloadControl* control = nullptr;
    // Runs on the worker the moment the new database is in place, before backbbinfo.cfg.
    std::function<void()> onCommitted{};
};

struct DatabaseOutcome {
    platform::BodyFault fault = platform::BodyFault::None;
    long status = 0;
    qint64 neededBytes = 0;  // NoRoom: what the new file needs
    qint64 freeBytes = 0;    // NoRoom: what the card has
    // The card had room only without the old database: it was removed, the new one could not
    // be written, and the checked copy waits on the computer for the next attempt.
    bool oldRemoved = false;
    QString detail;         // the system's or the transport's own words, for the log's reader
    qint64 readBackMs = 0;  // how long reading the new file back from the card took
    // The rewrite of backbbinfo.cfg after a download that worked, when the target asked for it.
    std::optional<CardInfoRewrite> cardInfo;
    // Held from before the card is touched until the last copy of the outcome is gone (when
    // the caller rewrites the card info file itself).
    std::shared_ptr<platform::CardLock> cardLock;

    bool ok() const { return fault == platform::BodyFault::None; }
};

// Received bytes so far, and the expected total (-1 when unknown).
using DatabaseProgress = std::function<void(std::int64_t received, std::int64_t total)>;

DatabaseOutcome downloadDatabase(const DatabaseSource& source, const DatabaseTarget& target,
                                 const DatabaseSettings& settings, const DatabaseProgress& progress,
                                 const std::atomic<bool>& cancel);

// The log line that says why a download failed, in plain Korean.
QString failureReason(const DatabaseOutcome& outcome);
// The log line after a failure that left the card without a database.
QString removedDatabaseNote();

// "sfd_size": decimal digits only. Empty text is "not declared"; anything else invalid.
std::optional<qint64> parseDeclaredSize(const QString& text, bool* valid);

}  // namespace card
