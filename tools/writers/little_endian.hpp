// Little-endian values on a host of either byte order: the bytes the two file formats hold, and the
// fields of the xi_header record. That record is a copy of the file's header entry, so its
// multi-byte fields are little-endian on every host, a big-endian one included: a writer or a test
// that builds or inspects a record goes through set_field and get_field, never through plain
// assignment. Values are taken apart and put together with shifts, so the same code is right
// whatever the host's order.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace plateio::writers {

namespace detail {

template <std::size_t Size> struct UnsignedOfSize;
template <> struct UnsignedOfSize<1> { using type = std::uint8_t; };
template <> struct UnsignedOfSize<2> { using type = std::uint16_t; };
template <> struct UnsignedOfSize<4> { using type = std::uint32_t; };
template <> struct UnsignedOfSize<8> { using type = std::uint64_t; };

template <class T> using BitsOf = typename UnsignedOfSize<sizeof(T)>::type;

} // namespace detail

// The bytes of `value` in file order: least significant first.
template <class T> std::array<std::uint8_t, sizeof(T)> le_bytes(T value) noexcept {
    static_assert(std::is_arithmetic_v<T>);
    const auto bits = std::bit_cast<detail::BitsOf<T>>(value);
    std::array<std::uint8_t, sizeof(T)> bytes{};
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    return bytes;
}

// The T whose bytes in file order start at `bytes`.
template <class T> T from_le_bytes(const std::uint8_t *bytes) noexcept {
    static_assert(std::is_arithmetic_v<T>);
    using Bits = detail::BitsOf<T>;
    Bits bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bits = static_cast<Bits>(bits | static_cast<Bits>(Bits{bytes[i]} << (8 * i)));
    }
    return std::bit_cast<T>(bits);
}

// Stores `value` into a field of a record that holds file bytes (an xi_header member), as the file
// has it. The bytes are copied in, never passed through a value of the field's type.
template <class T> void set_field(T &field, std::type_identity_t<T> value) noexcept {
    const auto bytes = le_bytes(value);
    std::memcpy(&field, bytes.data(), sizeof field);
}

// The value a field of such a record holds.
template <class T> T get_field(const T &field) noexcept {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &field, sizeof field);
    return from_le_bytes<T>(bytes);
}

} // namespace plateio::writers
