#pragma once

#include <QString>

namespace platform::win {

// The saved login's place. ProgramData is readable by every user of the PC, so the folder
// gets an access list of its own that lets in the current user alone, inherited by the files
// created in it.
inline constexpr wchar_t kSavedLoginFolder[] = L"C:\\ProgramData\\MORVEL_Drivoro";
inline constexpr wchar_t kSavedLoginFile[] = L"tindrakhid.ini";

// Creates the folder when missing with that access list; an existing folder, and the file
// named inside it when it exists, get it too where the user may change them. False when the
// folder cannot be made.
bool makePrivateFolder(const QString& folder, const QString& fileInside);

}  // namespace platform::win
