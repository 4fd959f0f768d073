#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drivoro::standin {

struct FormField {
    std::string name;
    std::string value;
};

using Form = std::vector<FormField>;

// Decodes application/x-www-form-urlencoded text ("+" is a blank, "%XX" a byte).
// Unlike a browser, a broken escape, a NUL byte or a result that is not UTF-8 makes the whole
// text invalid: the service answers such a request with 400 instead of guessing.
std::optional<Form> parse_form(std::string_view text);

// The value of the first field with this name, or nullptr.
const std::string* find_field(const Form& form, std::string_view name);

bool is_valid_utf8(std::string_view text);

std::string html_escape(std::string_view text);

}  // namespace drivoro::standin
