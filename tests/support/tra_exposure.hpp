// TRA exposures for the tests, made with the project's writers: a round plate whose pixels all
// differ from their neighbours, with saturated pixels scattered over it, and small synthetic plates.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "plateio.h"
#include "synth.hpp"
#include "tra_writer.hpp"

namespace plateio::test {

inline constexpr std::size_t kTraPixels = std::size_t{writers::kTraGrid} * writers::kTraGrid;

// Every 331st grid pixel inside the plate is saturated (65535); the others count up along rows and
// columns without ever reaching 65535.
inline writers::TraFile plate_exposure() {
    std::vector<std::uint16_t> grid(kTraPixels);
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const std::size_t row = i / writers::kTraGrid;
        const std::size_t column = i % writers::kTraGrid;
        grid[i] = i % 331 == 0 ? 65535 : static_cast<std::uint16_t>((row * 37 + column * 11) % 65000 + 1);
    }
    return writers::tra_from_grid(grid, writers::circular_row_table(590.0), {});
}

// The grid read_az_tra builds from `file` before any binning: pixels outside the spans 0, the
// saturation mark stored as PIXEL_OVERFLOW.
inline std::vector<std::int32_t> marked_grid(const writers::TraFile &file) {
    std::vector<std::int32_t> grid = writers::tra_expected_grid(file);
    for (std::int32_t &pixel : grid) {
        pixel = pixel == 65535 ? PIXEL_OVERFLOW : pixel;
    }
    return grid;
}

// A synthetic exposure of size x size pixels at the centre of the grid, on a plate of that
// diameter, with saturated grains: a small, realistic TRA file.
inline std::vector<std::uint8_t> small_plate(int size, std::uint64_t seed = 1) {
    writers::SynthSettings settings;
    settings.width = size;
    settings.height = size;
    settings.seed = seed;
    settings.peak = 200000.0;
    const std::vector<std::int32_t> picture = writers::synth_exposure(settings);
    std::vector<std::uint16_t> grid(kTraPixels, 0);
    const int first = (writers::kTraGrid - size) / 2;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            grid[static_cast<std::size_t>((first + y) * writers::kTraGrid + first + x)] =
                static_cast<std::uint16_t>(
                    std::clamp(picture[static_cast<std::size_t>(y * size + x)], 0, 65535));
        }
    }
    return writers::encode_tra(writers::tra_from_grid(grid, writers::circular_row_table(size / 2.0), {}));
}

} // namespace plateio::test
