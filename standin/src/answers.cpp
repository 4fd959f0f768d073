#include "answers.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

namespace drivoro::standin {

JsonAnswer::JsonAnswer() : writer_(buffer_) {
    writer_.StartObject();
}

void JsonAnswer::key(std::string_view key) {
    writer_.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
}

void JsonAnswer::string(std::string_view value) {
    writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

JsonAnswer& JsonAnswer::text(std::string_view key, std::string_view value) {
    this->key(key);
    string(value);
    return *this;
}

JsonAnswer& JsonAnswer::list(std::string_view key, const std::vector<JsonFields>& items) {
    this->key(key);
    writer_.StartArray();
    for (const auto& fields : items) {
        writer_.StartObject();
        for (const auto& [name, value] : fields)
            text(name, value);
        writer_.EndObject();
    }
    writer_.EndArray();
    return *this;
}

void JsonAnswer::send(httplib::Response& res) {
    writer_.EndObject();
    res.set_content(std::string(buffer_.GetString(), buffer_.GetSize()),
                    std::string(kJsonType).c_str());
}

void refuse(httplib::Response& res, std::string_view text) {
    JsonAnswer().text("flag", "false").text("msg", text).send(res);
}

std::string_view reason(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

void error(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(std::to_string(status) + " " + std::string(reason(status)) + ": " + text + "\n",
                    std::string(kTextType).c_str());
}

bool is_form_type(const std::string& content_type) {
    std::string type = content_type.substr(0, content_type.find(';'));
    type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return type == "application/x-www-form-urlencoded";
}

std::string_view query_of(const httplib::Request& req) {
    const std::string_view target = req.target;
    const std::size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

std::optional<std::int64_t> to_integer(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}  // namespace drivoro::standin
