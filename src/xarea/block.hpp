// How uncompressImage knows where a pixel entry ends.
//
// uncompressImage is handed only a header record and a block pointer, not the block's length, and
// must decode no byte behind the entry. readXImage therefore seals every block it hands out: behind
// the entry's bytes it leaves zeros, and in the last 16 bytes of the block's allocation a trailer
// holding the entry's length and a tag computed from that length, the block's address and the
// allocation's size. A host's own bytes match such a tag only by an accident of one in 2^64, and a
// block that was moved, grown or shrunk no longer matches it.
//
// A block the host made itself carries no valid trailer; its length is then taken to be the whole of
// its allocation as the C library reports it (malloc_usable_size), slack included: a host that builds
// its own block should make it complete, or clear it to its allocated size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plateio::xarea {

inline constexpr std::size_t kTrailerBytes = 16;

// Writes the trailer into a block of at least `length` + kTrailerBytes bytes from malloc, and zeroes
// what lies between the entry and the trailer.
void seal_block(std::uint8_t *block, std::size_t length) noexcept;

// The length of the entry in `block` (from malloc): the trailer's when it is valid, else the block's
// allocated size.
std::size_t block_length(const void *block) noexcept;

} // namespace plateio::xarea
