#include "platform/windows/named_mutex.h"

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

namespace platform::win {

NamedMutex createNamedMutex(const QString& name) {
    // Everyone (WD) may wait on it, nothing else; the owner keeps what the system gives owners.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &descriptor, nullptr))
        return {};
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    const std::wstring wideName = name.toStdWString();
    NamedMutex result;
    SetLastError(ERROR_SUCCESS);
    result.handle = CreateMutexExW(&attributes, wideName.c_str(), 0, SYNCHRONIZE);
    result.existed = result.handle && GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(descriptor);
    return result;
}

QString programFolderMutexName(const QString& folder) {
    std::wstring path = QString(folder).replace(QLatin1Char('/'), QLatin1Char('\\')).toStdWString();
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    // The long form: a folder given in its short 8.3 form is the same folder.
    if (const DWORD size = GetLongPathNameW(path.c_str(), nullptr, 0)) {
        std::wstring longPath(size, L'\0');
        const DWORD n = GetLongPathNameW(path.c_str(), longPath.data(), size);
        if (n > 0 && n < size) {
            longPath.resize(n);
            path = longPath;
        }
    }
    // Windows' own upper case, as the installer's CharUpperW gives it.
    if (!path.empty())
        CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    const QString name = QStringLiteral("Global\\MORVEL_Drivoro_Folder_") +
                         QString::fromStdWString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    return name.size() < MAX_PATH ? name : QString();
}

}  // namespace platform::win
