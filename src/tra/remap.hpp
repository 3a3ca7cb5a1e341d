// A TRA exposure scattered straight into the host's own array through an index map, binned by the
// host first when its target is coarser than the plate's grid (read_az_tra).
#pragma once

#include <cstdint>

#include "common/fault.hpp"
#include "plateio.h"

namespace plateio::tra {

// Reads the file at `path` and stores its grid (binned 2 x 2 by the host's binning unless
// target.grid_mode is 600) into target.cells through *index_map; `overflowed` receives the number of
// PIXEL_OVERFLOW values stored. Requires target.cells for a cell_count above 0 and *index_map.
Fault read_remapped(const char *path, const remap_target &target, std::int32_t *const *index_map,
                    std::uint64_t &overflowed) noexcept;

} // namespace plateio::tra
