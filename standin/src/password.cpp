#include "password.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <charconv>
#include <stdexcept>
#include <vector>

namespace drivoro::standin {

namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kKeyBytes = 32;
// Keeps a tampered database from making one login run for minutes.
constexpr int kMaxIterations = 10'000'000;

std::string to_hex(const unsigned char* data, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

bool from_hex(std::string_view text, std::vector<unsigned char>& out) {
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (ec != std::errc() || end != text.data() + i + 2)
            return false;
        out.push_back(static_cast<unsigned char>(value));
    }
    return true;
}

std::vector<unsigned char> derive(std::string_view password, const unsigned char* salt,
                                  std::size_t salt_size, int iterations, std::size_t key_size) {
    std::vector<unsigned char> key(key_size);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                          static_cast<int>(salt_size), iterations, EVP_sha256(),
                          static_cast<int>(key.size()), key.data()) != 1) {
        throw std::runtime_error("PBKDF2 failed");
    }
    return key;
}

}  // namespace

std::string hash_password(std::string_view password, int iterations) {
    std::array<unsigned char, kSaltBytes> salt{};
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
        throw std::runtime_error("no random bytes for a password salt");
    }
    const auto key = derive(password, salt.data(), salt.size(), iterations, kKeyBytes);
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" +
           to_hex(salt.data(), salt.size()) + "$" + to_hex(key.data(), key.size());
}

bool verify_password(std::string_view password, std::string_view stored) {
    std::array<std::string_view, 4> parts;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t sep = stored.find('$');
        if ((sep == std::string_view::npos) != (i + 1 == parts.size()))
            return false;
        parts[i] = stored.substr(0, sep);
        stored = sep == std::string_view::npos ? std::string_view() : stored.substr(sep + 1);
    }
    if (parts[0] != kScheme)
        return false;
    int iterations = 0;
    const auto [end, ec] =
        std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), iterations);
    if (ec != std::errc() || end != parts[1].data() + parts[1].size() || iterations < 1 ||
        iterations > kMaxIterations) {
        return false;
    }
    std::vector<unsigned char> salt;
    std::vector<unsigned char> expected;
    if (!from_hex(parts[2], salt) || !from_hex(parts[3], expected) || salt.empty() ||
        expected.empty()) {
        return false;
    }
    const auto key = derive(password, salt.data(), salt.size(), iterations, expected.size());
    return CRYPTO_memcmp(key.data(), expected.data(), key.size()) == 0;
}

void burn_password_check(std::string_view password) {
    static constexpr unsigned char salt[kSaltBytes] = {};
    derive(password, salt, sizeof salt, kPasswordIterations, kKeyBytes);
}

}  // namespace drivoro::standin
