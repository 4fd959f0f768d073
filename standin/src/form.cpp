#include "form.hpp"

namespace drivoro::standin {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> decode_component(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    if (out.find('\0') != std::string::npos || !is_valid_utf8(out))
        return std::nullopt;
    return out;
}

}  // namespace

std::optional<Form> parse_form(std::string_view text) {
    Form form;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view entry = text.substr(start, end - start);
        if (!entry.empty()) {
            const std::size_t eq = entry.find('=');
            auto name = decode_component(entry.substr(0, eq));
            auto value = eq == std::string_view::npos ? std::optional<std::string>(std::string())
                                                      : decode_component(entry.substr(eq + 1));
            if (!name || !value)
                return std::nullopt;
            form.push_back({std::move(*name), std::move(*value)});
        }
        start = end + 1;
    }
    return form;
}

const std::string* find_field(const Form& form, std::string_view name) {
    for (const auto& field : form) {
        if (field.name == name)
            return &field.value;
    }
    return nullptr;
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t len;
        unsigned min;
        unsigned cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2, min = 0x80, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, min = 0x800, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, cp = b & 0x07;
        } else {
            return false;
        }
        if (i + len > text.size())
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

}  // namespace drivoro::standin
