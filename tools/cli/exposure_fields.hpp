// The header fields and the pixel mask of an exposure, as every output format carries them.
#pragma once

#include <span>

#include "exposure.hpp"
#include "header_fields.hpp"

namespace plateio::cli {

// The pixel mask the tool writes, in every format: NeXus's pixel_mask bits, of which two are used.
inline constexpr std::uint8_t kMaskOffPlate = 1;   // bit 0, "no sensor there": off the round plate
inline constexpr std::uint8_t kMaskOverflowed = 8; // bit 3, "over-responding": holds PIXEL_OVERFLOW

// The mask of an exposure read with its mask: kMaskOffPlate, kMaskOverflowed or 0 a pixel.
std::vector<std::uint8_t> pixel_mask(const Exposure &exposure);

// The fields of an exposure read from `source` (its file name is kept, escaped as ASCII):
//   source, format ("TRA" or "X-Area"), width, height, compressed (X-Area), overflow_mark
//   (PIXEL_OVERFLOW), overflow_threshold (a pixel above it overflowed), overflow_count,
//   off_plate_count, and the image_info values the file carries: overload_count, geometry_0 to
//   geometry_8, setting, scale_value for X-Area; geometry_0 and geometry_2 to geometry_5 for TRA
//   (its other image_info values are the library's stand-ins for "absent" and are left out).
// With `mask_bits`, also mask_off_plate and mask_overflowed, the mask's values.
HeaderFields header_fields(const Exposure &exposure, const std::string &source, std::int64_t off_plate,
                           bool mask_bits = false);

// The fields as one JSON object, ASCII only (TIFF's ImageDescription, the sidecar).
std::string header_json(const HeaderFields &fields);

} // namespace plateio::cli
