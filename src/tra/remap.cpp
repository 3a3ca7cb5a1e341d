// read_az_tra: a TRA exposure scattered straight into the host's own array through an index map,
// binned by the host first when its target is coarser than the plate's grid.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "common/entry.hpp"
#include "common/file.hpp"
#include "common/memory.hpp"
#include "geometry/host_routines.hpp"
#include "plateio.h"
#include "tra/layout.hpp"
#include "tra/scatter.hpp"

namespace plateio::tra {

namespace {

// The target grid mode at which the plate's grid is copied as it is; any other asks for 2 x 2 bins.
constexpr std::int32_t kFullGridMode = 600;
constexpr std::int32_t kBinFactor = 2;
// The ceiling passed to binning for a binned pixel, well above any sum of four 16-bit values.
constexpr std::int32_t kBinLimit = 9999999;

std::int32_t clamp_count(std::uint64_t count) noexcept {
    return count > std::uint64_t{std::numeric_limits<std::int32_t>::max()}
               ? std::numeric_limits<std::int32_t>::max()
               : static_cast<std::int32_t>(count);
}

// At the full grid no binning runs, so no grid is needed: the whole stream is read first (a
// damaged file is then refused before a cell is written), and each row is widened into a small
// buffer that stays in cache and scattered from there.
bool read_unbinned(std::FILE *file, remap_target &target, const std::int32_t *map) noexcept {
    Stream stream;
    if (read_stream(file, stream) != GridStatus::ok) {
        return false;
    }
    struct ScatterRows {
        std::array<std::int32_t, kGridSize> buffer;
        const std::int32_t *map;
        remap_target &target;
        std::uint64_t overflowed = 0;
        std::int32_t *row(std::size_t) noexcept { return buffer.data(); }
        void done(std::size_t r, const std::int32_t *pixels) noexcept {
            overflowed +=
                scatter_pixels(pixels, map + r * kGridSize, kGridSize, target.cells, target.cell_count);
        }
    } rows{{}, map, target};
    StreamInMemory values(stream);
    place_rows(stream.spans, values, Saturation::mark, rows);
    target.overload_count = clamp_count(rows.overflowed);
    return true;
}

bool read_binned(File file, remap_target &target, std::int32_t *const *index_map) noexcept {
    MallocPtr<std::int32_t> grid = malloc_array<std::int32_t>(kGridPixels);
    if (!grid || read_grid(file.get(), grid.get(), Saturation::mark) != GridStatus::ok) {
        return false;
    }
    file.reset(); // closed before the host's binning runs
    // binning may bin in place or hand back a new block; either way the block it leaves is the one
    // to copy and to free (the old one, if replaced, is binning's to release).
    std::int32_t width = kGridSize;
    std::int32_t height = kGridSize;
    std::int32_t *block = grid.release();
    geometry::call_binning(&block, kBinFactor, &width, &height, kBinLimit);
    grid.reset(block);

    std::uint64_t overflowed = 0;
    if (grid != nullptr && width >= 1 && height >= 1) {
        // Grid pixel i is row i / width, column i % width: the row-by-row order is the array's
        // order. 64-bit count: binning may leave any size, and width * height need not fit 32 bits.
        const std::uint64_t pixels =
            std::uint64_t(std::uint32_t(width)) * std::uint64_t(std::uint32_t(height));
        overflowed = scatter_pixels(grid.get(), *index_map, pixels, target.cells, target.cell_count);
    }
    target.overload_count = clamp_count(overflowed);
    return true;
}

// False, with *target untouched, when the file cannot be opened or is damaged, or memory runs out.
bool read_remapped(const char *path, remap_target &target, std::int32_t *const *index_map) noexcept {
    File file = open_file(path, "rb");
    if (!file) {
        return false;
    }
    const bool ok = target.grid_mode == kFullGridMode ? read_unbinned(file.get(), target, *index_map)
                                                      : read_binned(std::move(file), target, index_map);
    if (ok) {
        target.aux_value = 0.0;
    }
    return ok;
}

} // namespace

} // namespace plateio::tra

using namespace plateio;

extern "C" {

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_az_tra(const char *path, remap_target *target,
                                                           std::int32_t **index_map) {
    // Counts within one call only, so a failed call reports none.
    target->overload_count = 0;
    if (!tra::read_remapped(path, *target, index_map)) {
        std::printf("# \x1b[0mERROR\x1b[0m READING %s\n", path);
        return 0;
    }
    return 1;
}

} // extern "C"
