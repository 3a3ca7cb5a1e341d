// Scattering grid pixels into the host's cells through its index map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/isa.hpp"

namespace plateio::tra {

// Stores pixel i of `grid` into cells[map[i]] for each i < count whose map entry lies in
// 0 .. cell_count - 1, in order (a later pixel overwrites an earlier one); returns how many of the
// stored values are PIXEL_OVERFLOW.
std::uint64_t scatter_pixels(Isa isa, const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                             std::int32_t *cells, std::int32_t cell_count) noexcept;

// The versions: the portable loop, and AVX2, which stores eight pixels at once wherever the map names
// eight consecutive cells (an identity, crop or copy map), the portable loop's way elsewhere.
std::uint64_t scatter_pixels_portable(const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                                      std::int32_t *cells, std::uint32_t cell_count) noexcept;
#if PLATEIO_HAVE_AVX2
std::uint64_t scatter_pixels_avx2(const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                                  std::int32_t *cells, std::uint32_t cell_count) noexcept;
#endif

} // namespace plateio::tra
