#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The saved-login file: two lines, the ID and the password, in the ANSI code page.
namespace saved_login {

// The file's lines, the password line unprotected (platform::unprotectSecret), or nothing
// when there is no file. Throws FileError when it cannot be read.
std::optional<QStringList> read(const QString& path);

// Replaces the file atomically with the trimmed ID and the trimmed password, protected for the
// user where the system can (platform::protectSecret); where that protection fails, with the
// ID alone. The folder is created for the user
// alone and the file is readable by the user alone. Lines the ANSI code page cannot hold as
// they are go as UTF-8 after a byte-order mark, rather than as look-alikes that would no
// longer match. Throws FileError.
void write(const QString& path, const QString& id, const QString& password);

// After an accepted login of the user. Ticked, the typed login is written as above (throws
// FileError). Either way an earlier version's machine-wide file (former, offered only to its
// owner) goes: its lines first move into the user's own file where the user has none, as a save
// would write them, so that the next start fills the fields as before. A move that cannot be
// written leaves the earlier file in place for the next login.
void keepAfterLogin(const QString& path, const std::optional<QString>& former, bool ticked,
                    const QString& id, const QString& password);

}  // namespace saved_login
