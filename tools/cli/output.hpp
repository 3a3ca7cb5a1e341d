// The formats the tool writes images in, and their writers. Every writer writes into a
// PendingOutput; the caller commits it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files.hpp"
#include "header_fields.hpp"

namespace plateio::cli {

enum class OutputFormat { tiff, npy, cbf, h5 };

// The format a --to word names ("tiff", "tif", "npy", "cbf", "h5", "hdf5", "nxs").
std::optional<OutputFormat> format_of_word(std::string_view word);
// The format a file name's extension names (.tif .tiff .npy .cbf .h5 .hdf5 .hdf .nxs, any case).
std::optional<OutputFormat> format_of_extension(const std::string &path);
// ".tif", ".npy", ".cbf", ".h5".
const char *default_extension(OutputFormat format);
// "TIFF", "NumPy", "CBF", "HDF5".
const char *format_title(OutputFormat format);
// Whether this build writes the format (HDF5 needs the HDF5 library at build time).
bool format_built(OutputFormat format);

// One image to write: the exposure's int32 pixels, or a mask of uint8 values.
struct Plane {
    std::span<const std::int32_t> pixels; // when an image
    std::span<const std::uint8_t> mask;   // when a mask
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// Writes `plane` with its header fields in `format`:
//   tiff  a single-page TIFF, little-endian, uncompressed: 32-bit signed samples (SampleFormat 2) for
//         an image, 8-bit unsigned ones for a mask; the fields as a JSON object in ImageDescription
//   npy   a NumPy array of shape (height, width): '<i4' for an image, '|u1' for a mask (no fields)
//   cbf   imgCIF/CBF, byte-offset code, the fields in the mini-header (a mask as 32-bit pixels)
//   h5    NeXus/HDF5 (see nexus.hpp); `pixel_mask` is stored as the detector's pixel_mask
// `block_name` names the CBF data block. Throws FileError.
void write_plane(OutputFormat format, PendingOutput &output, const Plane &plane, const HeaderFields &fields,
                 std::span<const std::uint8_t> pixel_mask, std::string_view block_name);

// A NumPy .npy file (format 1.0), C order, shape (height, width), of int32 or uint8 values.
std::vector<std::uint8_t> npy_bytes(const Plane &plane);

// An 8-bit RGB PNG of width x height pixels given as r, g, b bytes row by row. Throws FileError
// (naming `path`) when libpng refuses.
std::vector<std::uint8_t> png_bytes(const std::string &path, std::span<const std::uint8_t> rgb,
                                    std::int32_t width, std::int32_t height);

} // namespace plateio::cli
