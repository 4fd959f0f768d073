#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

// The saved password as the saved-login file holds it.
namespace platform {

// On Windows, protected for the current user by the Data Protection API and written as a
// marker that no saved line can start with (saved lines are trimmed of control characters),
// "DPAPI:" and Base64; nothing when the protection fails, for then the password is not saved
// at all. Elsewhere, where the file is the user's alone, as it stands.
std::optional<QString> protectSecret(const QString& secret);
// The password from its saved line: a protected line unprotected, or empty when it cannot be
// (saved by another user or on another PC); a plain line from an earlier version as it stands.
QString unprotectSecret(const QString& line);

// For tests: a protection that stands in for the system's, on every system (one that gives
// nothing fails as the system's can); an empty one puts the system's back.
using SecretProtection = std::function<std::optional<QByteArray>(const QByteArray& plain)>;
void setSecretProtection(SecretProtection protection);

}  // namespace platform
