// Bounds-checked reads of little-endian fields from bytes that came from a file.
//
// File bytes are never reinterpreted in place: fields are copied out with memcpy, which is correct
// at any alignment (the X-Area side arrays start at odd offsets) and free of aliasing questions.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace plateio {

static_assert(std::endian::native == std::endian::little,
              "the file formats and the host records are little-endian; port the loads first");

// Loads a T stored little-endian at `at`. The caller guarantees sizeof(T) readable bytes.
template <class T> inline T load_le(const std::uint8_t *at) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A read-only view of file bytes whose loads cannot leave the view.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}

    std::size_t size() const noexcept { return bytes_.size(); }

    // True when `count` bytes starting at `offset` lie inside the view.
    bool holds(std::size_t offset, std::size_t count) const noexcept {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }

    // The T at `offset`, or `fallback` when it would reach past the end.
    template <class T> T get(std::size_t offset, T fallback = T{}) const noexcept {
        return holds(offset, sizeof(T)) ? load_le<T>(bytes_.data() + offset) : fallback;
    }

    std::span<const std::uint8_t> sub(std::size_t offset, std::size_t count) const noexcept {
        return holds(offset, count) ? bytes_.subspan(offset, count) : std::span<const std::uint8_t>{};
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

} // namespace plateio
