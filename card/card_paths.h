#pragma once

#include <QString>

// Where the card's files are: the card folder named by the service, under the drive root.
namespace card {

inline const QString kCardInfoName = QStringLiteral("backbbinfo.cfg");
inline const QString kDatabaseName = QStringLiteral("rp_cam.idb");

// The card folder: DownDir without leading or trailing "\" or "/" (it is always beneath the
// drive root), except that exactly "root" (and the empty text) mean the drive root itself.
QString cardFolder(const QString& downDir);

// Limits of a card folder: a dashcam's folders are few and short.
constexpr int kMaxCardFolderLevels = 8;
constexpr int kMaxCardFolderLength = 240;

// The card folder comes from the service: one that names a drive, climbs out with "..",
// holds control characters, or is deeper or longer than the limits is refused.
bool isSafeCardFolder(const QString& folder);
// Throws AppError with a message for the user when the folder is not safe.
void requireSafeCardFolder(const QString& folder);

// driveRoot (ending in "/"), the folder, "/" and the file name. An empty folder leaves the
// two separators side by side, as the log shows; the file system reads them as one. The
// folder's backslashes, its separators on a Windows PC, become "/"; on Windows the whole
// path then takes the system's backslashes, as the log there shows it.
QString cardFilePath(const QString& driveRoot, const QString& folder, const QString& fileName);

}  // namespace card
