// The exposure values of a TRA header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/fault.hpp"
#include "common/file.hpp"
#include "plateio.h"

namespace plateio::tra {

// The header's values that a host uses, named by the image_info.geometry index they feed. They all
// lie in the header's first 204 bytes, which is all that is read.
struct HeaderValues {
    double geometry0 = 0; // D_floating at offset 178
    double geometry2 = 0; // D_floating at offset 140
    double geometry3 = 0; // D_floating at offset 186
    double geometry4 = 0; // D_floating at offset 116
    double geometry5 = 0; // F_floating at offset 194
};

inline constexpr std::size_t kHeaderValueBytes = 204;

// The values of a header whose first 204 bytes are `bytes`.
HeaderValues parse_header_values(std::span<const std::uint8_t, kHeaderValueBytes> bytes) noexcept;

// Reads the header values from the start of `source`; tra_header_short when it is shorter than 204
// bytes.
Fault read_header_values(Source &source, HeaderValues &values) noexcept;

// Fills the host's image_info from the values and the path (which must fit), with the fixed values
// that stand for what a TRA header does not carry; geometry[6] to [8] are left as they were.
void describe(image_info &info, const HeaderValues &values, const char *path) noexcept;

} // namespace plateio::tra
