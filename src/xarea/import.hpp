// Bringing an X-Area exposure into the host's records: the container, the checks of the header
// against the pixel entry, and the pixels.
//
// The import reads no more than it needs. A plain entry is read straight into the host's pixel
// array and thresholded there; a coded entry is read whole and decoded straight into the host's
// array, threshold in the same pass; and for a description alone only the codes are streamed
// through a small scratch to count the escapes (a plain entry, once known to lie inside the file,
// is not read at all).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/memory.hpp"
#include "plateio.h"
#include "xarea/container.hpp"

namespace plateio::xarea {

// A container whose header and pixel entry agree: the entry holds every pixel the header's width
// and height call for, plain (4 bytes each) or coded (codes and both value sections).
struct Exposure {
    xi_header header{};
    OpenContainer container;
    std::size_t pixel_count = 0; // width * height, at most INT32_MAX
    bool coded = false;
};

enum class ImportStatus {
    ok,
    container_failed, // the container's message has been printed
    refused,          // the caller prints the import's message
};

// Tests that `path` opens, opens its container and checks the pixel entry against the header: a
// width or height below 0, a pixel count beyond the platform's arrays or an int32, or an entry
// shorter than its pixels is refused.
ImportStatus open_exposure(const char *path, Exposure &exposure) noexcept;

// The exposure's pixels in a new array, each above the header's overflow threshold stored as
// PIXEL_OVERFLOW and counted; a coded entry's count-mismatch report is printed.
struct MarkedPixels {
    MallocPtr<std::int32_t> pixels;
    std::uint64_t overflow_count = 0;
};

ImportStatus load_marked_pixels(Exposure &exposure, MarkedPixels &marked) noexcept;

// Makes sure the pixel entry can be read and, for a coded one, prints the count-mismatch report as
// decoding would, without producing a pixel.
ImportStatus check_pixel_entry(Exposure &exposure) noexcept;

} // namespace plateio::xarea
