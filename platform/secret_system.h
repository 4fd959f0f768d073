#pragma once

#include <QByteArray>
#include <optional>

// The system's own protection behind protectSecret and unprotectSecret, for the current user;
// nothing where the system has none.
namespace platform::system_secret {

// Whether the system protects secrets at all.
bool protects();
std::optional<QByteArray> protect(const QByteArray& plain);
std::optional<QByteArray> unprotect(const QByteArray& sealed);

}  // namespace platform::system_secret
