#pragma once

#include <QString>
#include <optional>

#include "service/json_answer.h"
#include "service/user_info.h"

// The current database as the login and download answers name it. The keys are read in
// this order up to the first one that cannot be read; that one and the later ones stay
// empty, and no error is raised.
struct DatabaseRecord {
    std::optional<QString> FileName;  // "sfd_filename"
    std::optional<QString> Path;      // "sfd_filepath"
    std::optional<QString> Version;   // "sfd_version"
    std::optional<QString> DownDir;   // "bInfo_scdown_directory"
    // Optional, and read whenever the file is named: the file's size and SHA-256 as sent,
    // empty when absent. A value that is not text stands as "?", which no check accepts.
    std::optional<QString> FileSize;    // "sfd_size"
    std::optional<QString> FileSha256;  // "sfd_sha256"

    // Sets the account's fields that were read; the others keep their values.
    void applyTo(TUserInfo& info) const;
};

DatabaseRecord readDatabaseRecord(const JsonAnswer& answer);
