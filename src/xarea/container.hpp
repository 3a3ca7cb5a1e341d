// The X-Area container: a 104-byte file header (magic "STOE_XFILE" and a zero byte at 0, the entry
// count at 72), a table of contents of 40-byte entries right behind it (name at 0, zero-terminated;
// length at 24; offset from the file's start at 36), and the entries' data anywhere in the file.
// The library takes two entries: "XArea_ImgHdr", the image header record, and "XArea_Image", the
// pixel block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/file.hpp"
#include "common/memory.hpp"
#include "plateio.h"

namespace plateio::xarea {

// A container whose header record has been read and whose pixel entry has been found and checked
// against the file's size, with the file still open at no particular position.
struct OpenContainer {
    bool ok = false;
    // True once the pixel entry was being taken: a failure from then on empties the caller's block
    // pointer, an earlier one leaves it alone.
    bool reached_pixel_entry = false;
    File file;
    std::int32_t pixel_offset = 0;
    std::size_t pixel_length = 0;
    bool size_known = false; // a regular file: the entry is known to lie inside it
};

// Opens `path`, reads the header entry into `header` (cleared, then at most 412 bytes) and finds the
// pixel entry. Every failure prints its message on standard output, as readXImage documents.
// `header` may hold the header entry even when a later check fails.
OpenContainer open_container(const char *path, xi_header &header) noexcept;

// Reads the first `count` bytes (at most the entry's length) of the pixel entry into `into`. A
// failed seek or a short read prints its message and gives false.
bool read_pixel_entry(OpenContainer &container, void *into, std::size_t count) noexcept;

// Streams the first `count` bytes of the pixel entry through `consume(const std::uint8_t *, size_t)`
// in chunks, without holding the entry in memory. Prints and gives false like read_pixel_entry, and
// false without a message when the scratch cannot be allocated (`no_memory` is then set).
template <class Consume>
bool stream_pixel_entry(OpenContainer &container, std::size_t count, Consume &&consume,
                        bool &no_memory) noexcept;

// The whole of it, as readXImage hands it out: the pixel entry in a new block of its length.
struct ContainerRead {
    bool ok = false;
    bool reached_pixel_entry = false;
    MallocPtr<std::uint8_t> block; // the pixel entry's data, `length` bytes
    std::size_t length = 0;
};

ContainerRead read_container(const char *path, xi_header &header) noexcept;

// ---- implementation of the template ----

bool seek_pixel_entry(OpenContainer &container) noexcept;
void print_container_failure(const char *message) noexcept;

template <class Consume>
bool stream_pixel_entry(OpenContainer &container, std::size_t count, Consume &&consume,
                        bool &no_memory) noexcept {
    constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;
    no_memory = false;
    auto chunk = malloc_array<std::uint8_t>(kChunkBytes);
    if (!chunk) {
        no_memory = true;
        return false;
    }
    if (!seek_pixel_entry(container)) {
        return false;
    }
    for (std::size_t left = count < container.pixel_length ? count : container.pixel_length; left > 0;) {
        const std::size_t take = left < kChunkBytes ? left : kChunkBytes;
        if (!read_exact(container.file.get(), chunk.get(), take)) {
            print_container_failure(" readXImage(): corrupt file ");
            return false;
        }
        consume(static_cast<const std::uint8_t *>(chunk.get()), take);
        left -= take;
    }
    return true;
}

} // namespace plateio::xarea
