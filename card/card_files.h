#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <optional>

#include "card/bb_data.h"
#include "platform/platform.h"

// The card info file read and rewritten as calls on the card, made off the window's thread.
// Nothing here needs a window.
namespace card {

// What the card folder beneath a drive root holds under the card info file's name.
struct CardInfoRead {
    enum class Found {
        File,      // a regular file: its bytes, or why they could not be read
        Nothing,   // nothing of that name, or no such folder on the drive
        NotAFile,  // a folder, a link or a pipe, which no dashcam writes
    };
    Found found = Found::Nothing;
    QByteArray bytes;
    QString error;  // File: the error that kept the bytes from being read
};
CardInfoRead readCardInfoAt(const QString& root, const QString& folder);

// After a download: the card's own lines (read again when the file is not the one last read,
// so that no other card's identity is written over them), today's date and the version,
// written whole; then the volume flushed. Something other than a file of that name is never
// written over; the volume is flushed all the same.
struct CardInfoRewrite {
    bool notAFile = false;
    std::optional<QByteArray> reread;  // the card's own file, when it was not the one last read
    QByteArray written;                // the bytes now on the card; empty when none were written
    QString error;                     // why the file could not be read or written
    platform::VolumeFlush flush = platform::VolumeFlush::Failed;
};
CardInfoRewrite rewriteCardInfoAt(const QString& root, const QString& folder,
                                  const QByteArray& lastRead, TcfgData cfg, const QDate& date,
                                  const QString& version);

}  // namespace card
