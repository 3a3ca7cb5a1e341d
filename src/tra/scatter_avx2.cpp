// The scatter with AVX2: eight map entries are compared with the run that starts at the first of
// them; when they name eight consecutive cells inside the target, the eight pixels go there with
// one store, and their overflow marks are counted by mask. Any other eight are stored one by one,
// in order, so overwrites and dropped entries behave exactly as in the portable loop.
#include "tra/scatter.hpp"

#if PLATEIO_HAVE_AVX2

#include <immintrin.h>

#include "plateio.h"

namespace plateio::tra {

PLATEIO_TARGET_AVX2 std::uint64_t scatter_pixels_avx2(const std::int32_t *grid, const std::int32_t *map,
                                                      std::uint64_t count, std::int32_t *cells,
                                                      std::uint32_t cell_count) noexcept {
    const __m256i steps = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i overflow_mark = _mm256_set1_epi32(PIXEL_OVERFLOW);
    std::uint64_t overflowed = 0;
    std::uint64_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const auto first = static_cast<std::uint32_t>(map[i]);
        const __m256i entries = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(map + i));
        const __m256i run = _mm256_add_epi32(_mm256_set1_epi32(static_cast<std::int32_t>(first)), steps);
        // first <= cell_count - 8 keeps the whole run inside the cells (and first + 7 from wrapping).
        if (cell_count >= 8 && first <= cell_count - 8 &&
            _mm256_movemask_epi8(_mm256_cmpeq_epi32(entries, run)) == -1) {
            const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(grid + i));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(cells + first), values);
            overflowed += static_cast<unsigned>(__builtin_popcount(static_cast<unsigned>(
                _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(values, overflow_mark))))));
        } else {
            overflowed += scatter_pixels_portable(grid + i, map + i, 8, cells, cell_count);
        }
    }
    return overflowed + scatter_pixels_portable(grid + i, map + i, count - i, cells, cell_count);
}

} // namespace plateio::tra

#endif
