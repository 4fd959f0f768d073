#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The saved-login file: two lines, the ID and the password, in the ANSI code page.
namespace saved_login {

// The file's lines, or nothing when there is no file. Throws FileError when it cannot be read.
std::optional<QStringList> read(const QString& path);

// Replaces the file atomically with the trimmed ID and password. The folder is created for
// the user alone and the file is readable by the user alone, since it holds a password.
// Throws FileError.
void write(const QString& path, const QString& id, const QString& password);

}  // namespace saved_login
