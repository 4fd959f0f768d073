// No protection of the system's own: the saved-login file is readable by the user alone.
#include "platform/secret_system.h"

namespace platform::system_secret {

bool protects() {
    return false;
}

std::optional<QByteArray> protect(const QByteArray&) {
    return std::nullopt;
}

std::optional<QByteArray> unprotect(const QByteArray&) {
    return std::nullopt;
}

}  // namespace platform::system_secret
