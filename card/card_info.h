#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

#include "card/bb_data.h"

namespace platform {
class FolderHandle;
}

// backbbinfo.cfg, the dashcam's device-information file: its codec and its safe reading and
// writing. Nothing here needs a window.
namespace card {

// A dashcam's file is a few hundred bytes; anything far larger is not one, and loading it
// whole could exhaust memory.
constexpr qint64 kMaxCardInfoBytes = 64 * 1024;

// The file's bytes. Throws FileError when it cannot be opened or read, is not a regular file
// or is larger than kMaxCardInfoBytes.
QByteArray loadCardInfoFile(const QString& path);
// The same, for backbbinfo.cfg in an opened card folder.
QByteArray loadCardInfoFile(const platform::FolderHandle& folder,
                            const QString& name = QStringLiteral("backbbinfo.cfg"));

// Takes the file's first five lines into cfg (a line that is missing leaves its field as it
// was) and rebuilds bb from line 1.
void readCardInfo(const QByteArray& bytes, TcfgData& cfg, TbbData& bb);

// The file's own first line; empty when it has none (no bytes, or a byte-order mark alone).
QString cardInfoLineOne(const QByteArray& bytes);

// Why a download did not go onto a card whose card info file's name is taken by something
// that is not a file (a folder, a link, a pipe).
QString notACardFileReason();
// Why the card info file was not rewritten after a download, for the same cause.
QString cardInfoNotWrittenReason();

// Line 1 decoded: 65 hexadecimal pairs, the model name taken out of the serial region, the
// serial field reset to "0000000000".
TbbData decodeDeviceRecord(const QString& bbinfo);

// The log line that shows what line 1 records of the card's last download (the date in
// pairs 50-57, the version in pairs 58-65) beside offeredVersion, the latest the service
// offers; it calls the card up to date only when the two versions are the same.
// Line 1 records a download: a date or a version in its pairs 50-65.
bool recordsDownload(const QString& bbinfo);
QString cardDatabaseLine(const QString& bbinfo, const QString& offeredVersion);

// The first 100 characters of the old line 1, then the date and the version as pairs.
QString rewrittenLineOne(const QString& bbinfo, const QDate& date, const QString& version);

// The six lines FbbSave writes, in the ANSI code page, each ended by CR LF.
QByteArray encodeCardInfo(const TcfgData& cfg, const QDate& date, const QString& version);

// Replaces the file so that a card pulled out mid-write keeps the old one. Throws FileError.
void saveCardInfoFile(const QString& path, const QByteArray& bytes);
void saveCardInfoFile(const platform::FolderHandle& folder, const QByteArray& bytes,
                      const QString& name = QStringLiteral("backbbinfo.cfg"));

}  // namespace card
