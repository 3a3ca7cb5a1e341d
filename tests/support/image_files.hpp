// Reads back what the plateio tool writes, with the formats' own libraries (libtiff, libpng) or,
// for NumPy arrays, by the format's rules, so that a test sees a file as other programs see it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plateio::test {

struct TiffImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t sample_format = 0;
    std::uint16_t samples_per_pixel = 0;
    std::uint16_t photometric = 0;
    std::uint32_t directories = 0;
    std::string description;          // ImageDescription
    std::vector<std::int32_t> pixels; // 32-bit signed samples, or 8-bit unsigned ones widened
};

// Reads a TIFF with libtiff; throws when libtiff cannot open it.
TiffImage read_tiff(const std::string &path);

struct NpyArray {
    std::string descr; // e.g. "<i4"
    bool fortran_order = true;
    std::vector<std::size_t> shape;
    std::size_t data_offset = 0; // where the data starts: a multiple of 64
    std::vector<std::int32_t> values;
};

// Parses a .npy file of format 1.0 with a little-endian int32 array or a uint8 one (values widened);
// throws on anything else.
NpyArray read_npy(const std::string &path);

struct PngImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgb; // 3 bytes a pixel, row by row
};

// Decodes a PNG with libpng into 8-bit RGB; throws when libpng refuses it.
PngImage read_png(const std::string &path);

// The bytes of a file; throws when it cannot be read.
std::vector<std::uint8_t> read_bytes(const std::string &path);

} // namespace plateio::test
