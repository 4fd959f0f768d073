#pragma once

#include <QString>

// The saved password as the saved-login file holds it.
namespace platform {

// On Windows, protected for the current user by the Data Protection API and written as a
// marker that no saved line can start with (saved lines are trimmed of control characters),
// "DPAPI:" and Base64; elsewhere, where the file is the user's alone, as it stands.
QString protectSecret(const QString& secret);
// The password from its saved line: a protected line unprotected, or empty when it cannot be
// (saved by another user or on another PC); a plain line from an earlier version as it stands.
QString unprotectSecret(const QString& line);

}  // namespace platform
