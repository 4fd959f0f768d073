#include "service/database_record.h"

#include "base/errors.h"

namespace {

QString optionalText(const JsonAnswer& answer, const char* key) {
    try {
        return answer.root().has(key) ? answer.text(key) : QString();
    } catch (const JsonAccessError&) {
        return QStringLiteral("?");
    }
}

}  // namespace

DatabaseRecord readDatabaseRecord(const JsonAnswer& answer) {
    DatabaseRecord record;
    try {
        record.FileName = answer.text("sfd_filename");
        record.FileSize = optionalText(answer, "sfd_size");
        record.FileSha256 = optionalText(answer, "sfd_sha256");
        record.Path = answer.text("sfd_filepath");
        record.Version = answer.text("sfd_version");
        record.DownDir = answer.text("bInfo_scdown_directory");
    } catch (const JsonAccessError&) {
        // The values before the unreadable key stand.
    }
    return record;
}

void DatabaseRecord::applyTo(TUserInfo& info) const {
    for (auto [value, field] : {std::pair{&FileName, &info.FileName},
                                {&Path, &info.Path},
                                {&Version, &info.Version},
                                {&DownDir, &info.DownDir},
                                {&FileSize, &info.FileSize},
                                {&FileSha256, &info.FileSha256}}) {
        if (*value)
            *field = **value;
    }
}
