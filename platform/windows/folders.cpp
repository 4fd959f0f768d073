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

// One entry: full control for the current user, passed on to files and folders inside.
struct UserOnlyAcl {
    std::vector<unsigned char> sid = currentUserSid();
    std::vector<unsigned char> buffer;

    PACL acl() {
        if (sid.empty())
            return nullptr;
        const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid.data());
        buffer.assign(size, 0);
        auto* list = reinterpret_cast<PACL>(buffer.data());
        if (!InitializeAcl(list, size, ACL_REVISION) ||
            !AddAccessAllowedAceEx(list, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   FILE_ALL_ACCESS, sid.data()))
            return nullptr;
        return list;
    }
};

// Replaces the access list, cutting off what the parent folder passes on.
void restrictAccess(const std::wstring& path, PACL acl) {
    SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, acl, nullptr);
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

bool makePrivateFolder(const QString& folder, const QString& fileInside) {
    UserOnlyAcl owner;
    PACL acl = owner.acl();
    const std::wstring path = wide(folder);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        if (acl) {
            SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
            SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        }
        SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
        if (!CreateDirectoryW(path.c_str(), acl ? &attributes : nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    } else if (acl) {
        // Made by an earlier program, or with the access list ProgramData passes on.
        restrictAccess(path, acl);
    }
    const std::wstring file = wide(folder + QLatin1Char('\\') + fileInside);
    if (acl && GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES)
        restrictAccess(file, acl);
    return true;
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
    const QString folder = QString::fromWCharArray(win::kSavedLoginFolder);
    const QString file = QString::fromWCharArray(win::kSavedLoginFile);
    // A folder that cannot be made shows up when the file is written, with the system's reason.
    win::makePrivateFolder(folder, file);
    return folder + QLatin1Char('\\') + file;
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
