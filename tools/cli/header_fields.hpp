// The values that travel with an image into every format the tool writes, as keys and values (the
// keys and their order: header.hpp, docs/header.md).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace plateio::cli {

struct HeaderField {
    std::string key;                                       // lower case, digits and '_'
    std::variant<std::int64_t, double, std::string> value; // a string is a family name or a file name
};

using HeaderFields = std::vector<HeaderField>;
using Header = HeaderFields;

} // namespace plateio::cli
