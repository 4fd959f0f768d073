#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <optional>

#include "card/bb_data.h"
#include "platform/platform.h"

namespace platform {
class CardCallClock;
class FolderHandle;
}  // namespace platform

// The card info file read and rewritten as calls on the card, made off the window's thread.
// Nothing here needs a window.
namespace card {

// What the card folder beneath a drive root holds under the card info file's name, and
// whether a whole database lies beside it.
struct CardInfoRead {
    enum class Found {
        File,      // a regular file: its bytes, or why they could not be read
        Nothing,   // nothing of that name, or no such folder on the drive
        NotAFile,  // a folder, a link or a pipe, which no dashcam writes
    };
    Found found = Found::Nothing;
    QByteArray bytes;
    QString error;  // File: the error that kept the bytes from being read
    // File: what lies beside it. Our own rp_cam.idb.part is left only by a download that did
    // not end.
    bool databaseMissing = false;
    bool leftoverPart = false;
};
CardInfoRead readCardInfoAt(const QString& root, const QString& folder);

// What a rewrite after a download writes: the lines of the card last read, today's date and
// the version of the database the download wrote.
struct CardInfoUpdate {
    QByteArray lastRead;  // the card info file's bytes as last read; empty when none was
    TcfgData cfg;
    QDate date;
    QString version;
};

// After a download: the card's own lines (read again when the file is not the one last read,
// so that no other card's identity is written over them), today's date and the version,
// written whole; then the volume flushed. Something other than a file of that name is never
// written over; the volume is flushed all the same. A card swapped into the drive since the
// download is not touched at all.
struct CardInfoRewrite {
    bool notAFile = false;
    bool otherCard = false;            // the drive holds another card than the download's
    std::optional<QByteArray> reread;  // the card's own file, when it was not the one last read
    QByteArray written;                // the bytes now on the card; empty when none were written
    QString error;                     // why the file could not be read or written
    platform::VolumeFlush flush = platform::VolumeFlush::Failed;
};
// Through the folder the download wrote into, on the card it checked. root names the drive for
// the volume flush; clock times each call.
CardInfoRewrite rewriteCardInfo(const platform::FolderHandle& card, const QString& root,
                                const CardInfoUpdate& update, platform::CardCallClock* clock);

}  // namespace card
