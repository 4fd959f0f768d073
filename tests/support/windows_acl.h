#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <QString>
#include <QStringList>
#include <string>

// The access list of a named mutex, "allow|deny SID mask" per entry and "; " between them
// ("allow WD 0x100000" for Everyone's SYNCHRONIZE), read through its name with READ_CONTROL,
// which its owner always has; "<cannot open: error>" when even that is refused.
inline std::string accessListOfMutex(const QString& name) {
    const std::wstring wide = name.toStdWString();
    const HANDLE object = OpenMutexW(READ_CONTROL, FALSE, wide.c_str());
    if (!object)
        return "<cannot open: " + std::to_string(GetLastError()) + ">";
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    QStringList entries;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        entries << QStringLiteral("<no security>");
    } else if (!dacl) {
        entries << QStringLiteral("<null DACL: everyone may do anything>");
    } else {
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACE_HEADER* header = nullptr;
            if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)))
                continue;
            // Allowed and denied entries share their layout.
            const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
            wchar_t* sid = nullptr;
            ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &sid);
            // Everyone is S-1-1-0 ("WD" in the security descriptor language).
            QString who = sid ? QString::fromWCharArray(sid) : QStringLiteral("?");
            if (who == QLatin1String("S-1-1-0"))
                who = QStringLiteral("WD");
            LocalFree(sid);
            const char* kind = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                               : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                           : "other";
            entries << QStringLiteral("%1 %2 0x%3")
                           .arg(QLatin1String(kind), who, QString::number(ace->Mask, 16));
        }
    }
    LocalFree(descriptor);
    CloseHandle(object);
    return entries.join(QStringLiteral("; ")).toStdString();
}
