// Widening of TRA stream values (little-endian uint16) into grid pixels (int32).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "plateio.h"
#include "tra/layout.hpp"

namespace plateio::tra {

// Widens `count` values from `stream` (2 * count bytes, any alignment) into `out`. With
// Saturation::mark the saturation mark 65535 becomes PIXEL_OVERFLOW; 65534 and below never change.
inline void widen_span(const std::uint8_t *stream, std::int32_t *out, std::size_t count,
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

} // namespace plateio::tra
