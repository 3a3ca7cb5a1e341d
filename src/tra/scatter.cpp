#include "tra/scatter.hpp"

#include <algorithm>

#include "plateio.h"

namespace plateio::tra {

std::uint64_t scatter_pixels_portable(const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                                      std::int32_t *cells, std::uint32_t cell_count) noexcept {
    std::uint64_t overflowed = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        // One unsigned comparison tests 0 <= cell < cell_count.
        const auto cell = static_cast<std::uint32_t>(map[i]);
        if (cell < cell_count) {
            const std::int32_t value = grid[i];
            cells[cell] = value;
            overflowed += value == PIXEL_OVERFLOW ? 1 : 0;
        }
    }
    return overflowed;
}

std::uint64_t scatter_pixels(Isa isa, const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                             std::int32_t *cells, std::int32_t cell_count) noexcept {
    // A negative count names no cell.
    const auto cells_named = static_cast<std::uint32_t>(std::max(cell_count, 0));
    switch (isa) {
#if PLATEIO_HAVE_AVX2
    case Isa::avx2:
        return scatter_pixels_avx2(grid, map, count, cells, cells_named);
#endif
    default:
        return scatter_pixels_portable(grid, map, count, cells, cells_named);
    }
}

} // namespace plateio::tra
