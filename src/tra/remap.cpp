#include "tra/remap.hpp"

#include <array>
#include <cstdint>

#include "common/isa.hpp"
#include "common/memory.hpp"
#include "host/host_routines.hpp"
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

// At the full grid no binning runs, so no grid is needed: the whole stream is read first (a damaged
// file is then refused before a cell is written), and each row is widened into a small buffer that
// stays in cache and scattered from there.
Fault read_unbinned(Source &source, const RowSpans &spans, const remap_target &target,
                    const std::int32_t *map, Isa isa, std::uint64_t &overflowed) noexcept {
    Stream stream;
    if (Fault f = read_stream(source, spans, stream)) {
        return f;
    }
    struct ScatterRows {
        std::array<std::int32_t, kGridSize> buffer;
        const std::int32_t *map;
        const remap_target &target;
        Isa isa;
        std::uint64_t overflowed = 0;
        std::int32_t *row(std::size_t) noexcept { return buffer.data(); }
        void done(std::size_t r, const std::int32_t *pixels) noexcept {
            overflowed +=
                scatter_pixels(isa, pixels, map + r * kGridSize, kGridSize, target.cells, target.cell_count);
        }
    } rows{{}, map, target, isa};
    StreamInMemory values(stream, Saturation::mark, isa);
    place_rows(stream.spans, values, rows);
    overflowed = rows.overflowed;
    return {};
}

// Below the full grid the host's binning needs the grid itself: it is read whole, the file is closed,
// and the block binning leaves is scattered.
Fault read_binned(Source &source, const RowSpans &spans, const remap_target &target,
                  std::int32_t *const *index_map, Isa isa, std::uint64_t &overflowed) noexcept {
    MallocPtr<std::int32_t> grid = malloc_array<std::int32_t>(kGridPixels);
    if (!grid) {
        return fault(FaultKind::no_memory, static_cast<std::int64_t>(kGridPixels * sizeof(std::int32_t)));
    }
    std::uint64_t saturated = 0;
    if (Fault f = read_grid(source, spans, grid.get(), Saturation::mark, isa, saturated)) {
        return f;
    }
    source.close();
    // binning may bin in place or hand back a new block; either way the block it leaves is the one to
    // copy and to free (the old one, if replaced, is binning's to release).
    std::int32_t width = kGridSize;
    std::int32_t height = kGridSize;
    std::int32_t *block = grid.release();
    host::call_binning(&block, kBinFactor, &width, &height, kBinLimit);
    grid.reset(block);

    overflowed = 0;
    if (grid != nullptr && width >= 1 && height >= 1) {
        // Grid pixel i is row i / width, column i % width: the row-by-row order is the array's order.
        // 64-bit count: binning may leave any size, and width * height need not fit 32 bits.
        const std::uint64_t pixels =
            std::uint64_t(std::uint32_t(width)) * std::uint64_t(std::uint32_t(height));
        overflowed = scatter_pixels(isa, grid.get(), *index_map, pixels, target.cells, target.cell_count);
    }
    return {};
}

} // namespace

Fault read_remapped(const char *path, const remap_target &target, std::int32_t *const *index_map,
                    std::uint64_t &overflowed) noexcept {
    Source source;
    Head head;
    RowSpans spans;
    if (Fault f = open_spans(path, source, head, spans)) {
        return f;
    }
    const Isa isa = best_isa();
    if (target.grid_mode == kFullGridMode) {
        return read_unbinned(source, spans, target, *index_map, isa, overflowed);
    }
    return read_binned(source, spans, target, index_map, isa, overflowed);
}

} // namespace plateio::tra
