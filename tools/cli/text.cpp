#include "text.hpp"

#include <cmath>
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

bool kept(std::uint32_t code_point, Escape escape) {
    const bool control = code_point < 0x20 || (code_point >= 0x7f && code_point < 0xa0);
    switch (escape) {
    case Escape::utf8:
        return true;
    case Escape::terminal:
        return !control;
    case Escape::ascii:
        return code_point >= 0x20 && code_point < 0x7f;
    }
    return false;
}

} // namespace

std::string escape_name(std::string_view name, Escape escape) {
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        std::uint32_t code_point = 0;
        const std::size_t length = utf8_length(name, at, code_point);
        if (length > 0 && code_point == '\\') {
            out += "\\\\";
        } else if (length > 0 && kept(code_point, escape)) {
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

Json &Json::open(char bracket) {
    element();
    out_ += bracket;
    open_.push_back({bracket == '{' ? '}' : ']', true});
    return *this;
}

Json &Json::close() {
    const Container container = open_.back();
    open_.pop_back();
    if (pretty_ && !container.empty) {
        out_ += '\n' + std::string(2 * open_.size(), ' ');
    }
    out_ += container.closer;
    return *this;
}

void Json::element() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (open_.empty()) {
        return;
    }
    if (!open_.back().empty) {
        out_ += pretty_ ? "," : ", ";
    }
    open_.back().empty = false;
    if (pretty_) {
        out_ += '\n' + std::string(2 * open_.size(), ' ');
    }
}

Json &Json::key(std::string_view name) {
    text(name);
    out_ += ": ";
    after_key_ = true;
    return *this;
}

Json &Json::number(std::int64_t value) {
    element();
    out_ += std::to_string(value);
    return *this;
}

Json &Json::number(double value) {
    element();
    out_ += std::isfinite(value) ? real_text(value) : "null";
    return *this;
}

Json &Json::boolean(bool value) {
    element();
    out_ += value ? "true" : "false";
    return *this;
}

Json &Json::null() {
    element();
    out_ += "null";
    return *this;
}

Json &Json::text(std::string_view text) {
    element();
    out_ += '"';
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t code_point = 0;
        const std::size_t length = utf8_length(text, at, code_point);
        if (length == 0) {
            out_ += "\xef\xbf\xbd";
            ++at;
            continue;
        }
        if (code_point == '"' || code_point == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(code_point);
        } else if (code_point < 0x20 || code_point == 0x7f) {
            out_ += hex_escape("\\u%04x", code_point);
        } else if (ascii_ && code_point >= 0x80) {
            const std::uint32_t v = code_point - 0x10000;
            out_ += code_point < 0x10000 ? hex_escape("\\u%04x", code_point)
                                         : hex_escape("\\u%04x", 0xd800 + (v >> 10)) +
                                               hex_escape("\\u%04x", 0xdc00 + (v & 0x3ff));
        } else {
            out_ += text.substr(at, length);
        }
        at += length;
    }
    out_ += '"';
    return *this;
}

} // namespace plateio::cli
