// A small command-line reader: options as "-o VALUE", "--output VALUE" or "--output=VALUE", flags,
// "--" to end the options, and positional arguments in between. A negative number is a positional
// argument, not an option, so that "plateio correct -- -3 4" is not needed for points.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plateio::cli {

class Args {
  public:
    explicit Args(std::vector<std::string> items) : items_(std::move(items)) {}

    bool done() const { return position_ >= items_.size(); }
    const std::string &current() const { return items_[position_]; }

    // Takes the current argument when it is one of `names`.
    bool flag(std::initializer_list<std::string_view> names);
    // Takes the current argument and its value when it is one of `names`; a missing value is a
    // usage error.
    std::optional<std::string> value(std::initializer_list<std::string_view> names);
    // Whether the current argument looks like an option (and no "--" came before it).
    bool at_option();
    // Takes the current argument as a positional one.
    std::string take() { return items_[position_++]; }

  private:
    std::vector<std::string> items_;
    std::size_t position_ = 0;
    bool options_ended_ = false;
};

// Whole-string number parsing; anything else, or a value outside [min, max], is a usage error that
// names `what`.
std::int64_t parse_integer(std::string_view text, std::string_view what, std::int64_t min, std::int64_t max);
double parse_real(std::string_view text, std::string_view what);
// Any number, "nan" and "inf" included; nothing for anything else.
std::optional<double> to_real(std::string_view text);
bool is_real(std::string_view text);

// The shortest text that reads back as the same double ("0.1", "1e+300", "nan", "-inf").
std::string format_real(double value);
// The same, always with a point or an exponent, so that it reads back as a real: "80.0", "0.25".
std::string real_text(double value);

} // namespace plateio::cli
