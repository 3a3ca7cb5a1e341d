// TRA exposures for the remapping reader's tests, made with the project's writer: a round plate
// whose pixels all differ from their neighbours, with saturated pixels scattered over it.
#pragma once

#include <cstdint>
#include <vector>

#include "plateio.h"
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

} // namespace plateio::test
