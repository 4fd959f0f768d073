// The Data Protection API: only the same user, on the same PC or with the same roaming
// profile, can unprotect what was protected.
#include <windows.h>
// After windows.h, which it needs.
#include <dpapi.h>

#include <limits>

#include "platform/secret_system.h"

namespace platform::system_secret {
namespace {

std::optional<QByteArray> run(const QByteArray& in, bool protecting) {
    if (in.size() > std::numeric_limits<DWORD>::max())
        return std::nullopt;
    DATA_BLOB input{static_cast<DWORD>(in.size()),
                    reinterpret_cast<BYTE*>(const_cast<char*>(in.constData()))};
    DATA_BLOB output{};
    const BOOL ok = protecting ? CryptProtectData(&input, L"MORVEL Drivoro", nullptr, nullptr,
                                                  nullptr, CRYPTPROTECT_UI_FORBIDDEN, &output)
                               : CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr,
                                                    CRYPTPROTECT_UI_FORBIDDEN, &output);
    if (!ok)
        return std::nullopt;
    QByteArray result(reinterpret_cast<const char*>(output.pbData),
                      static_cast<qsizetype>(output.cbData));
    SecureZeroMemory(output.pbData, output.cbData);
    LocalFree(output.pbData);
    return result;
}

}  // namespace

bool protects() {
    return true;
}

std::optional<QByteArray> protect(const QByteArray& plain) {
    return run(plain, true);
}

std::optional<QByteArray> unprotect(const QByteArray& sealed) {
    return run(sealed, false);
}

}  // namespace platform::system_secret
