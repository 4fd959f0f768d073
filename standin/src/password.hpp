#pragma once

#include <string>
#include <string_view>

namespace drivoro::standin {

// PBKDF2-HMAC-SHA256 with a random 16-byte salt per password. The stored text carries the
// iteration count, so a later raise of the default still verifies older accounts.
inline constexpr int kPasswordIterations = 600000;

// "pbkdf2-sha256$<iterations>$<salt hex>$<key hex>"
std::string hash_password(std::string_view password, int iterations = kPasswordIterations);

// False for a wrong password and for a stored text that is not in the form above.
bool verify_password(std::string_view password, std::string_view stored);

// Costs what a real verification costs, so that an unknown ID answers as slowly as a wrong
// password and the timing does not tell which IDs exist.
void burn_password_check(std::string_view password);

}  // namespace drivoro::standin
