// The files the tool writes: raw bytes, NumPy arrays, 32-bit TIFF images and PNG previews.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace plateio::cli {

// Writes `bytes` to `path`, replacing it. Throws FileError with the system's reason; a file that
// was begun and could not be finished is removed.
void write_output(const std::string &path, std::span<const std::uint8_t> bytes);

// A NumPy .npy file (format 1.0) of a little-endian int32 array of shape (height, width), C order.
std::vector<std::uint8_t> npy_bytes(std::span<const std::int32_t> pixels, std::int32_t width,
                                    std::int32_t height);

// Writes a single-page TIFF of 32-bit signed integer pixels (SampleFormat 2, one sample, min-is-black,
// uncompressed, little-endian), with `description` as its ImageDescription. Throws FileError.
void write_tiff(const std::string &path, std::span<const std::int32_t> pixels, std::int32_t width,
                std::int32_t height, const std::string &description);

// An 8-bit RGB PNG of width x height pixels given as r, g, b bytes row by row. Throws FileError
// (naming `path`) when libpng refuses.
std::vector<std::uint8_t> png_bytes(const std::string &path, std::span<const std::uint8_t> rgb,
                                    std::int32_t width, std::int32_t height);

} // namespace plateio::cli
