// The formats convert writes, as a table: each entry's name (the --to word), its title for messages,
// its file name extensions (the first one is given to outputs named by the tool) and its writer. One
// file a writer: tiff.cpp, npy.cpp, cbf_output.cpp, nexus.cpp; png.cpp writes the previews.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../user_geometry.hpp"
#include "exposure.hpp"
#include "files.hpp"
#include "header_fields.hpp"

namespace plateio::cli {

// What a writer writes: the exposure's pixels, or with `mask` its pixel mask, with its header.
struct Image {
    const Exposure &exposure;
    const Header &header;
    bool mask = false;
    std::string_view name;                  // the input's name without its extension (CBF's data block)
    const UserGeometry *geometry = nullptr; // what the user gave of the geometry, if anything

    std::int32_t width() const { return exposure.frame.width; }
    std::int32_t height() const { return exposure.frame.height; }
};

struct Format {
    const char *name;
    const char *title;
    std::array<const char *, 4> extensions; // lower case, with the dot; unused ones nullptr
    // Writes the image into `output`; nullptr when this build cannot (HDF5 left out). Throws
    // FileError.
    void (*write)(PendingOutput &output, const Image &image);
};

std::span<const Format> output_formats();
// The format a --to word names: its name or one of its extensions without the dot, any case.
const Format *format_named(std::string_view word);
// The format a file name's extension names, any case.
const Format *format_of_path(const std::string &path);

// Rows [first, first + rows) of the image as little-endian bytes (a mask's bytes as they are).
void little_endian_rows(const Image &image, std::size_t first, std::size_t rows,
                        std::vector<std::uint8_t> &bytes);

void write_tiff(PendingOutput &output, const Image &image);
void write_npy(PendingOutput &output, const Image &image);
void write_cbf_image(PendingOutput &output, const Image &image);
void write_nexus(PendingOutput &output, const Image &image);

// An 8-bit RGB PNG of width x height pixels given as r, g, b bytes row by row. Throws FileError.
void write_png(PendingOutput &output, std::span<const std::uint8_t> rgb, std::int32_t width,
               std::int32_t height);

} // namespace plateio::cli
