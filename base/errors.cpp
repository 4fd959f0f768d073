#include "base/errors.h"

#include <QDir>
#include <cstring>

namespace {

FileError fileError(const char* what, const QString& path, const QString& reason) {
    return FileError(QStringLiteral("%1 \"%2\". %3")
                         .arg(QLatin1String(what), QDir::toNativeSeparators(path), reason));
}

}  // namespace

FileError FileError::cannotOpen(const QString& path, const QString& reason) {
    return fileError("Cannot open file", path, reason);
}

FileError FileError::cannotRead(const QString& path, const QString& reason) {
    return fileError("Cannot read file", path, reason);
}

FileError FileError::cannotCreate(const QString& path, const QString& reason) {
    return fileError("Cannot create file", path, reason);
}

QString systemErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
