// Widening of TRA stream values (little-endian uint16) into grid pixels (int32).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/cpu.hpp"
#include "plateio.h"

namespace plateio::tra {

inline constexpr std::uint16_t kSaturated = 65535;

// What a reader does with the saturation mark 65535: keep it as a value or store PIXEL_OVERFLOW.
enum class Saturation { keep, mark };

// Widens `count` values from `stream` (2 * count bytes, any alignment) into `out`. With
// Saturation::mark the saturation mark 65535 becomes PIXEL_OVERFLOW; 65534 and below never change.
// The portable loop, and the same with AVX2 (sixteen values a step, the mark handled by a compare
// and a blend in the same pass), chosen by widen_span.
inline void widen_span_scalar(const std::uint8_t *stream, std::int32_t *out, std::size_t count,
                              Saturation saturation) noexcept {
    if (saturation == Saturation::mark) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t value = load_le<std::uint16_t>(stream + 2 * i);
            out[i] = value == kSaturated ? PIXEL_OVERFLOW : std::int32_t{value};
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = load_le<std::uint16_t>(stream + 2 * i);
        }
    }
}

#if defined(__i386__) || defined(__x86_64__)
void widen_span_avx2(const std::uint8_t *stream, std::int32_t *out, std::size_t count,
                     Saturation saturation) noexcept;
#endif

inline void widen_span(const std::uint8_t *stream, std::int32_t *out, std::size_t count,
                       Saturation saturation) noexcept {
#if defined(__i386__) || defined(__x86_64__)
    if (count >= 16 && cpu_has_avx2()) {
        widen_span_avx2(stream, out, count, saturation);
        return;
    }
#endif
    widen_span_scalar(stream, out, count, saturation);
}

} // namespace plateio::tra
