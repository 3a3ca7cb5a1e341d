#include "args.hpp"

#include <charconv>
#include <cmath>

#include "errors.hpp"

namespace plateio::cli {

bool Args::at_option() {
    if (done() || options_ended_) {
        return false;
    }
    if (current() == "--") {
        options_ended_ = true;
        ++position_;
        return false;
    }
    const std::string &item = current();
    return item.size() > 1 && item[0] == '-' && !is_real(item);
}

bool Args::flag(std::initializer_list<std::string_view> names) {
    if (!at_option()) {
        return false;
    }
    for (std::string_view name : names) {
        if (current() == name) {
            ++position_;
            return true;
        }
    }
    return false;
}

std::optional<std::string> Args::value(std::initializer_list<std::string_view> names) {
    if (!at_option()) {
        return std::nullopt;
    }
    const std::string &item = current();
    for (std::string_view name : names) {
        if (item == name) {
            if (position_ + 1 >= items_.size()) {
                throw UsageError("option " + item + " needs a value");
            }
            position_ += 2;
            return items_[position_ - 1];
        }
        if (name.starts_with("--") && item.size() > name.size() && item.starts_with(name) &&
            item[name.size()] == '=') {
            ++position_;
            return item.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

std::int64_t parse_integer(std::string_view text, std::string_view what, std::int64_t min, std::int64_t max) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < min || value > max) {
        throw UsageError(std::string(what) + " must be an integer from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + std::string(text) + "'");
    }
    return value;
}

std::optional<double> to_real(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

bool is_real(std::string_view text) {
    return to_real(text).has_value();
}

double parse_real(std::string_view text, std::string_view what) {
    const std::optional<double> value = to_real(text);
    if (!value || !std::isfinite(*value)) {
        throw UsageError(std::string(what) + " must be a finite number, not '" + std::string(text) + "'");
    }
    return *value;
}

std::string format_real(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string real_text(double value) {
    std::string text = format_real(value);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

} // namespace plateio::cli
