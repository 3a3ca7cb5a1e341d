// The exposure values of a TRA header.
#pragma once

#include <cstdio>
#include <optional>

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

// Reads the header values from the start of `file`; nothing when the file is shorter than 204 bytes.
std::optional<HeaderValues> read_header_values(std::FILE *file) noexcept;

} // namespace plateio::tra
