// The values that travel with an image into every format the tool writes: what the library tells
// about the exposure (its family, size, overflow mark and count, the header's image_info values)
// and what the tool counts (pixels off the plate). Each format gives them under the same names:
// CBF as lines of its mini-header, HDF5 as datasets, TIFF and the JSON sidecar as a JSON object.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace plateio::cli {

struct HeaderField {
    std::string name;                                      // lower case, digits and '_'
    std::variant<std::int64_t, double, std::string> value; // a string is a file name or a word
};

using HeaderFields = std::vector<HeaderField>;

} // namespace plateio::cli
