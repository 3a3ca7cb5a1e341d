#include "xarea/block.hpp"

#include <cstring>

#include "common/memory.hpp"

namespace plateio::xarea {

namespace {

// A 64-bit mix of the entry's length, the block's address and its allocated size (the finaliser of
// splitmix64 over their combination), so that a copy of a trailer at another address, or a block
// whose allocation changed, does not validate.
std::uint64_t trailer_tag(const void *block, std::uint64_t length, std::uint64_t allocated) noexcept {
    std::uint64_t x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(block));
    x ^= length * 0x9e3779b97f4a7c15ull;
    x ^= (allocated << 32 | allocated >> 32) ^ 0x706c61746569f00dull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

} // namespace

void seal_block(std::uint8_t *block, std::size_t length) noexcept {
    const std::size_t allocated = allocated_size(block, length + kTrailerBytes);
    const std::size_t trailer_at = allocated - kTrailerBytes;
    std::memset(block + length, 0, trailer_at - length);
    const std::uint64_t fields[2] = {length, trailer_tag(block, length, allocated)};
    std::memcpy(block + trailer_at, fields, sizeof fields);
}

std::size_t block_length(const void *block) noexcept {
    const std::size_t allocated = allocated_size(block, 0);
    if (allocated < kTrailerBytes) {
        return allocated;
    }
    std::uint64_t fields[2];
    std::memcpy(fields, static_cast<const std::uint8_t *>(block) + allocated - kTrailerBytes, sizeof fields);
    const bool sealed =
        fields[0] <= allocated - kTrailerBytes && fields[1] == trailer_tag(block, fields[0], allocated);
    return sealed ? static_cast<std::size_t>(fields[0]) : allocated;
}

} // namespace plateio::xarea
