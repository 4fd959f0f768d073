#include "platform/replacing_file.h"

#include <QFileInfo>

#include "base/errors.h"

// The parts of ReplacingFile that are the same on every system; the system's own calls are in
// replacing_file.cpp and windows/replacing_file.cpp.
namespace platform {

bool ReplacingFile::fail(const QString& what, Failure kind) {
    error_ = what;
    failure_ = kind;
    discard();
    return false;
}

void ReplacingFile::hashWrites() {
    writtenHash_ = std::make_unique<Sha256>();
}

bool ReplacingFile::open(const QString& targetPath, Access access) {
    const QFileInfo info(targetPath);
    try {
        return open(FolderHandle::open(info.path(), targetPath), info.fileName(), access);
    } catch (const FileError& e) {
        error_ = e.text();
        failure_ = Failure::Write;
        return false;
    }
}

void replaceFileContents(const FolderHandle& folder, const QString& name, const QByteArray& bytes) {
    ReplacingFile file;
    if (!file.open(folder, name) || !file.write(bytes) || !file.commit())
        throw FileError::cannotCreate(folder.filePath(name), file.errorText());
}

void replaceFileContents(const QString& path, const QByteArray& bytes,
                         ReplacingFile::Access access) {
    ReplacingFile file;
    if (!file.open(path, access) || !file.write(bytes) || !file.commit())
        throw FileError::cannotCreate(path, file.errorText());
}

}  // namespace platform
