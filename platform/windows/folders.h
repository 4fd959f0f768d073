#pragma once

#include <QString>

namespace platform::win {

// The saved login's file name, in the user's own roaming folder. Earlier versions kept it in
// one folder for the whole PC, readable by every user.
inline constexpr wchar_t kSavedLoginFile[] = L"tindrakhid.ini";
inline constexpr wchar_t kFormerSavedLoginFolder[] = L"C:\\ProgramData\\MORVEL_Drivoro";

// The current user owns the file or folder.
bool ownedByCurrentUser(const QString& path);

}  // namespace platform::win
