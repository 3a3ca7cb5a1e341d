// The X-Area container: a 104-byte file header (magic "STOE_XFILE" and a zero byte at 0, the entry
// count at 72), a table of contents of 40-byte entries right behind it (name at 0, zero-terminated;
// length at 24; offset from the file's start at 36), and the entries' data anywhere in the file.
// The library takes two entries: "XArea_ImgHdr", the image header record, and "XArea_Image", the
// pixel block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/fault.hpp"
#include "common/file.hpp"
#include "common/memory.hpp"
#include "plateio.h"

namespace plateio::xarea {

inline constexpr std::size_t kFileHeaderBytes = 104;

struct Entry {
    std::int32_t length = 0;
    std::int32_t offset = 0;
};

// A container whose header record has been read and whose pixel entry has been found, checked against
// the file's size where the size is known.
struct Container {
    std::size_t entries = 0; // in the table of contents
    Entry pixels;            // the pixel entry: length >= 0, offset >= 0
};

// True when `head`, a file's first bytes, starts with the container's magic and its zero.
bool has_magic(std::span<const std::uint8_t> head) noexcept;

// No limit on the bytes of the table of contents read.
inline constexpr std::size_t kWholeTable = SIZE_MAX;

// Reads the file header and the table of contents from the start of `source`, the header entry into
// `record` (cleared, then at most 412 bytes; a longer entry's rest stays in the file) and finds the
// pixel entry. Reads at most `table_limit` bytes of the table and looks for the entries among those.
// On a fault `record` may already hold the header entry. Through a pipe or a device the table grows as
// its entries arrive, so a damaged count cannot reserve more than was read and one step.
Fault open_container(Source &source, xi_header &record, Container &container,
                     std::size_t table_limit = kWholeTable) noexcept;

// True for the faults found while the pixel entry is being taken (readXImage then empties the
// caller's block pointer).
bool taking_pixel_entry(const Fault &f) noexcept;

// Moves to the start of the pixel entry, or `skip` bytes into it.
Fault seek_pixel_entry(Source &source, const Container &container, std::size_t skip = 0) noexcept;

// Reads the next `count` bytes of the pixel entry; pixel_corrupt when the file ends first.
Fault read_pixel_bytes(Source &source, const Container &container, void *into, std::size_t count) noexcept;

// Streams `count` bytes of the pixel entry from where it stands through `consume(const std::uint8_t *,
// std::size_t)` in chunks of a bounded scratch, holding no more of it in memory.
template <class Consume>
Fault stream_pixel_bytes(Source &source, const Container &container, std::size_t count,
                         Consume &&consume) noexcept {
    constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;
    const std::size_t chunk_bytes = count < kChunkBytes ? count : kChunkBytes;
    auto chunk = malloc_array<std::uint8_t>(chunk_bytes);
    if (!chunk) {
        return fault(FaultKind::no_memory, static_cast<std::int64_t>(chunk_bytes));
    }
    for (std::size_t left = count; left > 0;) {
        const std::size_t take = left < chunk_bytes ? left : chunk_bytes;
        if (Fault f = read_pixel_bytes(source, container, chunk.get(), take)) {
            return f;
        }
        consume(static_cast<const std::uint8_t *>(chunk.get()), take);
        left -= take;
    }
    return {};
}

// readXImage's read of the pixel entry: a new block of the entry's length, sealed with its trailer
// (see block.hpp). `length` receives the entry's length.
Fault read_pixel_block(Source &source, const Container &container, MallocPtr<std::uint8_t> &block,
                       std::size_t &length) noexcept;

} // namespace plateio::xarea
