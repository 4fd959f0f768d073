#pragma once

// How the routes answer: JSON objects of texts, plain-text refusals, and the checks every
// form route shares. Only the route files include this.

#include <httplib.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "form.hpp"

namespace drivoro::standin {

inline constexpr std::string_view kJsonType = "application/json; charset=utf-8";
inline constexpr std::string_view kTextType = "text/plain; charset=utf-8";
inline constexpr std::string_view kHtmlType = "text/html; charset=utf-8";

// The members of one JSON object in order; every value is a text, as the program expects.
using JsonFields = std::vector<std::pair<std::string_view, std::string>>;

// One JSON object answer, built member by member.
class JsonAnswer {
  public:
    JsonAnswer();

    JsonAnswer& text(std::string_view key, std::string_view value);
    // "key": [ {...}, {...} ], one object per item.
    JsonAnswer& list(std::string_view key, const std::vector<JsonFields>& items);

    void send(httplib::Response& res);

  private:
    void key(std::string_view key);
    void string(std::string_view value);

    rapidjson::StringBuffer buffer_;
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// {"flag":"false","msg":text}
void refuse(httplib::Response& res, std::string_view text);

// "<status> <reason>: <text>" as plain text.
void error(httplib::Response& res, int status, const std::string& text);
std::string_view reason(int status);

bool is_form_type(const std::string& content_type);
std::string_view query_of(const httplib::Request& req);
std::optional<std::int64_t> to_integer(std::string_view text);

// Every named field must be there (possibly empty); otherwise answers 400 and gives nullopt.
template <std::size_t N>
std::optional<std::array<std::string, N>> require(const Form& form,
                                                  const std::array<std::string_view, N>& names,
                                                  httplib::Response& res) {
    std::array<std::string, N> values;
    for (std::size_t i = 0; i < N; ++i) {
        const std::string* value = find_field(form, names[i]);
        if (!value) {
            error(res, 400, "missing parameter " + std::string(names[i]));
            return std::nullopt;
        }
        values[i] = *value;
    }
    return values;
}

}  // namespace drivoro::standin
