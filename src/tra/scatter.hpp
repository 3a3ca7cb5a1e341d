// Scattering grid pixels into the host's cells through its index map.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plateio::tra {

// Stores pixel i of `grid` into cells[map[i]] for each i < count whose map entry lies in
// 0 .. cell_count - 1, in order (a later pixel overwrites an earlier one); returns how many of the
// stored values are PIXEL_OVERFLOW.
std::uint64_t scatter_pixels(const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                             std::int32_t *cells, std::int32_t cell_count) noexcept;

// The portable loop, and the AVX2 one, which stores eight pixels at once wherever the map names
// eight consecutive cells (an identity, crop or copy map), the portable loop's way elsewhere.
std::uint64_t scatter_pixels_scalar(const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                                    std::int32_t *cells, std::uint32_t cell_count) noexcept;
#if defined(__i386__) || defined(__x86_64__)
std::uint64_t scatter_pixels_avx2(const std::int32_t *grid, const std::int32_t *map, std::uint64_t count,
                                  std::int32_t *cells, std::uint32_t cell_count) noexcept;
#endif

} // namespace plateio::tra
