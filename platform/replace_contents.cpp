// The same on every system: the systems differ in ReplacingFile itself.
#include "base/errors.h"
#include "platform/replacing_file.h"

namespace platform {

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
