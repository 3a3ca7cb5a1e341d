// The header of an exposure: one list of keys and values, made here once from what the library read,
// and carried by every output in its own syntax (docs/header.md). A value the file does not carry is
// absent, never a stand-in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "exposure.hpp"
#include "header_fields.hpp"
#include "text.hpp"

namespace plateio::cli {

// format, source, width, height, compressed, overflow_threshold, saturation_value, overflow_value,
// overflow_count, off_plate_count, overload_count, geometry_0 .. geometry_8, setting, scale_value:
// those the exposure's family carries, in this order. `source` is the base name of exposure.source.
Header exposure_header(const Exposure &exposure);

// The value as a word of text: integers in decimal, reals as the shortest text that reads back as the
// same double, text escaped as a name (`escape`).
std::string header_word(const HeaderField &field, Escape escape);

// The header as the value of a JSON member: an object, one member a key.
void put_header(Json &json, const Header &header);

// {"header": {...}} on one line of ASCII: TIFF's ImageDescription and the .json sidecars.
std::string header_document(const Header &header);

// An integer value of the header, if it has the key.
std::optional<std::int64_t> header_integer(const Header &header, std::string_view key);

} // namespace plateio::cli
