#pragma once

#include <QString>

// The logged-in account; a plain value record.
struct TUserInfo {
    QString UserID;
    QString UserPw;
    QString IP;
    QString bb_make_id;
    QString bb_make_Name;
    QString bb_model_id;
    QString bb_Model_Name;
    QString user_sDate;
    QString user_eDate;
    QString Version;
    QString FileName;
    QString Path;
    QString DownDir;
    // What the download answer declares of the file, as sent; empty when it declares nothing.
    QString FileSize;    // "sfd_size"
    QString FileSha256;  // "sfd_sha256"
    bool idCheck = false;
};
