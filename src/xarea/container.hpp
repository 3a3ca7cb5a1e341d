// The X-Area container: a 104-byte file header (magic "STOE_XFILE" and a zero byte at 0, the entry
// count at 72), a table of contents of 40-byte entries right behind it (name at 0, zero-terminated;
// length at 24; offset from the file's start at 36), and the entries' data anywhere in the file.
// The library takes two entries: "XArea_ImgHdr", the image header record, and "XArea_Image", the
// pixel block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/memory.hpp"
#include "plateio.h"

namespace plateio::xarea {

struct ContainerRead {
    bool ok = false;
    // True once the pixel entry was being taken: a failure from then on empties the caller's block
    // pointer, an earlier one leaves it alone.
    bool reached_pixel_entry = false;
    MallocPtr<std::uint8_t> block; // the pixel entry's data, `length` bytes
    std::size_t length = 0;
};

// Reads the container of `path` into `header` (cleared, then at most 412 bytes of the header entry)
// and a new block. Every failure prints its message on standard output, as readXImage documents;
// nothing is printed on success. `header` may hold the header entry even when the read fails later.
ContainerRead read_container(const char *path, xi_header &header) noexcept;

} // namespace plateio::xarea
