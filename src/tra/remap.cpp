// read_az_tra: a TRA exposure scattered straight into the host's own array through an index map,
// binned by the host first when its target is coarser than the plate's grid.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "common/file.hpp"
#include "common/memory.hpp"
#include "geometry/host_routines.hpp"
#include "plateio.h"
#include "tra/layout.hpp"

namespace plateio::tra {

namespace {

// The target grid mode at which the plate's grid is copied as it is; any other asks for 2 x 2 bins.
constexpr std::int32_t kFullGridMode = 600;
constexpr std::int32_t kBinFactor = 2;
// The ceiling passed to binning for a binned pixel, well above any sum of four 16-bit values.
constexpr std::int32_t kBinLimit = 9999999;

// Scatters the width x height grid through the map into the target's cells. A map entry outside
// the cells drops its pixel; a later pixel overwrites an earlier one in the same cell. Returns the
// number of PIXEL_OVERFLOW values stored.
std::int32_t scatter(const std::int32_t *grid, std::int32_t width, std::int32_t height,
                     const std::int32_t *map, const remap_target &target) noexcept {
    std::int64_t overflowed = 0;
    for (std::int32_t y = 0; y < height; ++y) {
        // 64-bit index: binning may leave any size, and width * height need not fit 32 bits.
        const std::int64_t row = std::int64_t{y} * width;
        for (std::int32_t x = 0; x < width; ++x) {
            const std::int32_t cell = map[row + x];
            if (cell >= 0 && cell < target.cell_count) {
                const std::int32_t value = grid[row + x];
                target.cells[cell] = value;
                overflowed += value == PIXEL_OVERFLOW ? 1 : 0;
            }
        }
    }
    return overflowed > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                                 : static_cast<std::int32_t>(overflowed);
}

// False, with *target untouched, when the file cannot be opened or is damaged, or memory runs out.
bool read_remapped(const char *path, remap_target &target, std::int32_t *const *index_map) noexcept {
    MallocPtr<std::int32_t> grid;
    {
        const File file = open_file(path, "rb");
        if (!file) {
            return false;
        }
        grid = malloc_array<std::int32_t>(kGridPixels);
        if (!grid || read_grid(file.get(), grid.get(), Saturation::mark) != GridStatus::ok) {
            return false;
        }
    } // the file is closed before the host's binning runs

    std::int32_t width = kGridSize;
    std::int32_t height = kGridSize;
    if (target.grid_mode != kFullGridMode) {
        // binning may bin in place or hand back a new block; either way the block it leaves is the
        // one to copy and to free (the old one, if replaced, is binning's to release).
        std::int32_t *block = grid.release();
        geometry::call_binning(&block, kBinFactor, &width, &height, kBinLimit);
        grid.reset(block);
    }

    std::int32_t overflowed = 0;
    if (grid != nullptr && width >= 1 && height >= 1) {
        overflowed = scatter(grid.get(), width, height, *index_map, target);
    }
    target.overload_count = overflowed;
    target.aux_value = 0.0;
    return true;
}

} // namespace

} // namespace plateio::tra

using namespace plateio;

extern "C" {

PLATEIO_API std::int32_t read_az_tra(const char *path, remap_target *target, std::int32_t **index_map) {
    // Counts within one call only, so a failed call reports none.
    target->overload_count = 0;
    if (!tra::read_remapped(path, *target, index_map)) {
        std::printf("# \x1b[0mERROR\x1b[0m READING %s\n", path);
        return 0;
    }
    return 1;
}

} // extern "C"
