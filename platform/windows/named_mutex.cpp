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

}  // namespace platform::win
