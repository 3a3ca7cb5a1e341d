// Ownership of malloc'd blocks and overflow-checked sizes.
//
// Every block the library hands to a host comes from malloc and is released by the host with free,
// so the library's own scratch uses the same allocator: one deleter, one way to release. A block
// stays in a MallocPtr until the call can no longer fail, and is handed over with release().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>

namespace plateio {

struct FreeDeleter {
    void operator()(void *block) const noexcept { std::free(block); }
};

template <class T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// a * b, or nothing when the product does not fit a size_t (mind 32-bit hosts).
inline std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        return std::nullopt;
    }
    return product;
}

// The number of elements of a width x height image, or nothing when either side is negative or the
// image's bytes (of `element_size` each) exceed PTRDIFF_MAX, the largest object the platform can
// index (about 2 GiB on a 32-bit host).
inline std::optional<std::size_t> image_elements(std::int32_t width, std::int32_t height,
                                                 std::size_t element_size) noexcept {
    if (width < 0 || height < 0) {
        return std::nullopt;
    }
    const auto count = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / element_size;
    if (count > limit) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(count);
}

// A new uninitialised array of `count` T from malloc; empty when it cannot be allocated. A count of
// 0 still yields a valid block (of one byte), so that success and failure never look alike.
template <class T> MallocPtr<T> malloc_array(std::size_t count) noexcept {
    auto bytes = checked_mul(count, sizeof(T));
    if (!bytes) {
        return nullptr;
    }
    return MallocPtr<T>(static_cast<T *>(std::malloc(*bytes != 0 ? *bytes : 1)));
}

// A new array of `count` zeroed T. Large ones come straight from the kernel as zero pages, which cost
// no memory until they are written.
template <class T> MallocPtr<T> zeroed_array(std::size_t count) noexcept {
    return MallocPtr<T>(static_cast<T *>(std::calloc(count != 0 ? count : 1, sizeof(T))));
}

// The bytes of a block from malloc that may be read: at least what was asked for, often a little
// more. Where the C library cannot tell, `requested` is taken on trust.
std::size_t allocated_size(const void *block, std::size_t requested) noexcept;

} // namespace plateio
