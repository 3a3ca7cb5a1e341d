// Little-endian fields of file bytes, on a host of either byte order.
//
// Both file families are little-endian. File bytes are never reinterpreted in place: a field is
// copied out with memcpy, which is correct at any alignment (the X-Area side arrays start at odd
// offsets) and free of aliasing questions, and its bytes are reversed on a big-endian host.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace plateio {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "hosts of mixed byte order are not supported");

inline constexpr bool kBigEndianHost = std::endian::native == std::endian::big;

// The T whose little-endian bytes are at `at`. The caller guarantees sizeof(T) readable bytes.
template <class T> inline T load_le(const std::uint8_t *at) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    std::array<std::uint8_t, sizeof(T)> bytes;
    std::memcpy(bytes.data(), at, sizeof(T));
    if constexpr (kBigEndianHost) {
        std::reverse(bytes.begin(), bytes.end());
    }
    return std::bit_cast<T>(bytes);
}

// Stores `value` as its little-endian bytes at `at`.
template <class T> inline void store_le(std::uint8_t *at, T value) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    auto bytes = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    if constexpr (kBigEndianHost) {
        std::reverse(bytes.begin(), bytes.end());
    }
    std::memcpy(at, bytes.data(), sizeof(T));
}

// Turns `count` little-endian int32 values, read from a file straight into `values`, into host order
// in place. Nothing to do on a little-endian host.
inline void int32_from_le(std::int32_t *values, std::size_t count) noexcept {
    if constexpr (kBigEndianHost) {
        for (std::size_t i = 0; i < count; ++i) {
            values[i] = load_le<std::int32_t>(reinterpret_cast<const std::uint8_t *>(values + i));
        }
    } else {
        (void)values;
        (void)count;
    }
}

} // namespace plateio
