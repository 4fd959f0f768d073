#include "platform/windows/folders.h"

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "platform/windows/win32.h"
#include "platform/windows/windows_platform.h"

namespace platform {
namespace win {
namespace {

// The SID of the user the program runs as, in a buffer owned by the caller.
std::vector<unsigned char> currentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> info(size);
    std::vector<unsigned char> sid;
    if (size > 0 && GetTokenInformation(token, TokenUser, info.data(), size, &size)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
        sid.resize(GetLengthSid(user));
        CopySid(static_cast<DWORD>(sid.size()), sid.data(), user);
    }
    CloseHandle(token);
    return sid;
}

QString knownFolder(REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    QString folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path)))
        folder = fromWide(path);
    CoTaskMemFree(path);
    return folder;
}

}  // namespace

bool ownedByCurrentUser(const QString& path) {
    const std::vector<unsigned char> user = currentUserSid();
    if (user.empty())
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring native = wide(path);
    if (GetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool same = owner && EqualSid(owner, const_cast<unsigned char*>(user.data()));
    LocalFree(descriptor);
    return same;
}

}  // namespace win

QString WindowsPlatform::executableDir() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            const QString path = QString::fromWCharArray(buffer.data(), n);
            return path.left(path.lastIndexOf(QLatin1Char('\\')) + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
}

QString WindowsPlatform::savedLoginPath() {
    // The user's own roaming folder: no other account of the PC can read it, and it is made
    // only when a login is saved.
    return win::knownFolder(FOLDERID_RoamingAppData) + QStringLiteral("\\MORVEL_Drivoro\\") +
           QString::fromWCharArray(win::kSavedLoginFile);
}

std::optional<QString> WindowsPlatform::formerSavedLoginPath() {
    const QString path = QString::fromWCharArray(win::kFormerSavedLoginFolder) + QLatin1Char('\\') +
                         QString::fromWCharArray(win::kSavedLoginFile);
    const DWORD attributes = GetFileAttributesW(win::wide(path).c_str());
    // Another user's file, or a link put in its place, is not this user's login.
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !win::ownedByCurrentUser(path))
        return std::nullopt;
    return path;
}

QString WindowsPlatform::cacheFolder() {
    // An installed program cannot write beside itself; its own files go to the user's folder.
    const QString folder =
        win::knownFolder(FOLDERID_LocalAppData) + QStringLiteral("\\MORVEL_Drivoro\\");
    // Made here, so that every caller (the banner too) finds it.
    CreateDirectoryW(win::wide(folder).c_str(), nullptr);
    return folder;
}

}  // namespace platform
