#include "service/database_record.h"

#include "base/errors.h"

DatabaseRecord readDatabaseRecord(const JsonAnswer& answer) {
    DatabaseRecord record;
    try {
        record.FileName = answer.text("sfd_filename");
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
                                {&DownDir, &info.DownDir}}) {
        if (*value)
            *field = **value;
    }
}
