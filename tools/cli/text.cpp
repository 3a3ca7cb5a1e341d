#include "text.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "args.hpp"

namespace plateio::cli {

namespace {

// The length of the valid UTF-8 sequence starting at text[at] (overlong forms, surrogates and code
// points above U+10FFFF are not valid), or 0.
std::size_t utf8_length(std::string_view text, std::size_t at, std::uint32_t &code_point) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, minimum = 0x80, code_point = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, minimum = 0x800, code_point = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, minimum = 0x10000, code_point = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0u) != 0x80u) {
            return 0;
        }
        code_point = (code_point << 6) | (byte(at + i) & 0x3fu);
    }
    if (code_point < minimum || code_point > 0x10ffff || (code_point >= 0xd800 && code_point <= 0xdfff)) {
        return 0;
    }
    return length;
}

std::string hex_escape(const char *format, std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// Appends one character to a JSON string's body.
void json_character(std::string &out, std::string_view character, std::uint32_t code_point, bool ascii) {
    if (code_point == '"' || code_point == '\\') {
        out += '\\';
        out += static_cast<char>(code_point);
    } else if (code_point < 0x20) {
        out += hex_escape("\\u%04x", code_point);
    } else if (code_point < 0x80 || !ascii) {
        out += character;
    } else if (code_point < 0x10000) {
        out += hex_escape("\\u%04x", code_point);
    } else {
        const std::uint32_t v = code_point - 0x10000;
        out += hex_escape("\\u%04x", 0xd800 + (v >> 10));
        out += hex_escape("\\u%04x", 0xdc00 + (v & 0x3ff));
    }
}

} // namespace

std::string escape_name(std::string_view name, bool ascii) {
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        std::uint32_t code_point = 0;
        const std::size_t length = utf8_length(name, at, code_point);
        const bool plain = length > 0 && (!ascii || (code_point >= 0x20 && code_point < 0x7f));
        if (plain && code_point == '\\') {
            out += "\\\\";
        } else if (plain) {
            out += name.substr(at, length);
        } else {
            for (std::size_t i = 0; i < std::max<std::size_t>(length, 1); ++i) {
                out += hex_escape("\\x%02x", static_cast<std::uint8_t>(name[at + i]));
            }
        }
        at += std::max<std::size_t>(length, 1);
    }
    return out;
}

std::string json_text(std::string_view text, bool ascii) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t code_point = 0;
        const std::size_t length = utf8_length(text, at, code_point);
        if (length == 0) {
            json_character(out, "\xef\xbf\xbd", 0xfffd, ascii);
            ++at;
        } else {
            json_character(out, text.substr(at, length), code_point, ascii);
            at += length;
        }
    }
    return out + "\"";
}

std::string json_name(std::string_view name, bool ascii) {
    return json_text(escape_name(name, ascii), ascii);
}

std::string json_real(double value) {
    return std::isfinite(value) ? format_real(value) : "null";
}

} // namespace plateio::cli
