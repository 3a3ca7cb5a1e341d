// NeXus files (HDF5) of an image, as h5py, silx, pyFAI and crystallography programs read them:
//
//   /                                  NX_class NXroot, default "entry"
//   /entry                             NXentry, default "data"
//   /entry/data                        NXdata, signal "data"
//   /entry/data/data                   the image (int32, or the mask's uint32), height x width,
//                                      chunked by rows, shuffled and deflate-compressed
//   /entry/instrument                  NXinstrument
//   /entry/instrument/detector         NXdetector
//     pixel_mask                       uint32, height x width, NeXus's bit field: 0 a pixel with a
//                                      measurement, bit 0 (1) off the plate (no sensor there),
//                                      bit 3 (8) overflowed (holds PIXEL_OVERFLOW); compressed alike
//     saturation_value                 the lowest value that is not a count: the overflow threshold
//                                      plus 1, or PIXEL_OVERFLOW when that is lower
//     data                             a link to /entry/data/data
//   /entry/header                      NXcollection: every header field as a scalar dataset
//                                      (int64, float64 or a UTF-8 string) under its name
//
// Only deflate and shuffle are used, the filters every HDF5 build has.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "header_fields.hpp"

namespace plateio::cli {

struct Plane;

// The bytes of the file; errors name `target`. Throws FileError.
std::vector<std::uint8_t> nexus_file(const std::string &target, const Plane &plane,
                                     std::span<const std::uint8_t> pixel_mask, const HeaderFields &fields);

} // namespace plateio::cli
