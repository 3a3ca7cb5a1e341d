// Writes X-Area image files: the container (file header, table of contents, entries anywhere in
// the file), the image header record and plain or difference-coded pixel blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "little_endian.hpp"
#include "plateio.h"

namespace plateio::writers {

inline constexpr std::size_t kXiFileHeaderBytes = 104;
inline constexpr std::size_t kXiTocEntryBytes = 40;
inline constexpr std::size_t kXiHeaderRecordBytes = sizeof(xi_header);

// One entry of the table of contents and its data.
struct XiEntry {
    std::string name;                   // the name field's bytes (at most 24; the rest is zero)
    std::vector<std::uint8_t> data;     // written at `offset`
    std::optional<std::int32_t> length; // stored in the table instead of data.size()
    std::optional<std::int32_t> offset; // stored in the table instead of the data's real position
};

struct XiContainer {
    std::vector<XiEntry> entries;            // in table order
    std::vector<std::size_t> data_order;     // order of the entries' data in the file; empty: table order
    std::optional<std::int32_t> entry_count; // stored instead of entries.size()
    std::string magic = std::string("STOE_XFILE\0", 11);
};

std::vector<std::uint8_t> encode_xarea(const XiContainer &container);

// The bytes of a header record: the record itself, whose fields already hold the file's bytes (set
// them with set_field, read them with get_field).
std::vector<std::uint8_t> record_bytes(const xi_header &header);

// A header record with every byte 0 but the given size and compression flag.
xi_header make_xi_header(std::int32_t width, std::int32_t height, std::int32_t compression);

// A difference-coded block and the value counts its header must carry. Each pixel is coded as its
// difference from the previous one (the first from 0): one byte c = d + 127 when -127 <= d <= 126,
// else code 254 and a 16-bit value, else code 255 and a 32-bit value, as a detector's writer does.
struct CompressedBlock {
    std::vector<std::uint8_t> bytes;
    std::int32_t delta16_count = 0;
    std::int32_t delta32_count = 0;
};

CompressedBlock compress_pixels(std::span<const std::int32_t> pixels);

// A block of plain little-endian int32 pixels.
std::vector<std::uint8_t> plain_block(std::span<const std::int32_t> pixels);

// A complete file with "XArea_ImgHdr" and "XArea_Image" entries. `header` gives every field but the
// compression flag and the two counts, which are set from `compressed` and the encoder.
std::vector<std::uint8_t> xarea_file(xi_header header, std::span<const std::int32_t> pixels, bool compressed);

} // namespace plateio::writers
