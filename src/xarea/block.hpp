// How uncompressImage knows where a pixel entry ends.
//
// uncompressImage is handed only a header record and a block pointer, not the block's length, and
// must decode no byte behind the entry. readXImage therefore seals every block it hands out: behind
// the entry's bytes it leaves zeros, and in the last 16 bytes of the block's allocation a trailer
// holding the entry's length and a tag. The tag mixes that length, the block's address, the
// allocation's size and a sample of the entry's own bytes (all of them for an entry of up to 8 KiB;
// else its first and last 64 bytes and 1024 words spread evenly between them). A trailer is taken
// only when its tag matches and the zeros between the entry and the trailer are still all zero.
//
// A trailer the host's bytes happen to match is an accident of one in 2^64. The trailer that matters
// is a stale one: a host frees a block of readXImage and its allocator hands the same memory back to
// it for a block of its own, whose content the host writes but whose slack it does not. Such a
// trailer names other content, so its tag no longer matches; and a host's entry that begins like the
// old one but runs longer writes into the zeros. Blocks the library releases itself have their
// trailer wiped first (release_block), so none outlives them.
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

// Wipes the trailer of `block` (from malloc; may be null) and releases it, so that no trailer is left
// in memory the allocator hands out again.
void release_block(void *block) noexcept;

} // namespace plateio::xarea
