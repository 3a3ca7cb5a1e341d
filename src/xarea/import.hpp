// Bringing X-Area pixels into the host's memory: the checks of the header against the pixel entry,
// and the pixels themselves.
//
// The import reads no more than it needs and holds no image of its own. A plain entry is read straight
// into the host's array a cache-sized chunk at a time and thresholded there; a coded entry's value
// sections are read first, then its codes are streamed through a bounded scratch and decoded straight
// into the host's array, threshold in the same pass; and for a description only the codes are counted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/fault.hpp"
#include "common/file.hpp"
#include "common/isa.hpp"
#include "xarea/container.hpp"
#include "xarea/decode.hpp"
#include "xarea/record.hpp"

namespace plateio::xarea {

// Fills the host's image_info from the header's fields and the path (which must fit).
void describe(image_info &info, const Fields &fields, const char *path) noexcept;

// width * height of the header's image: image_size when a side is negative, or the count does not fit
// an int32 (pixel_count) or an array of int32 on this platform.
Fault image_pixels(const Fields &fields, std::size_t &pixels) noexcept;

// Fails when the pixel entry cannot give every pixel for its length alone: a plain entry shorter than
// 4 bytes a pixel, a coded one with fewer codes than pixels.
Fault check_entry_length(const Fields &fields, std::size_t pixels, const Container &container) noexcept;

struct PixelRead {
    std::uint64_t overflow_count = 0;
    Verdict verdict; // of a coded entry: what the codes took
};

// Reads the exposure's `pixels` pixels into `out`, row-major, each above the header's threshold
// stored as PIXEL_OVERFLOW and counted. A coded entry whose codes call for a value inside its section
// but past the entry's end is refused (values_short) after its pixels were stored; header counts that
// disagree with what the codes took are not a fault (result.verdict says so).
Fault read_pixels(Source &source, const Container &container, const Fields &fields, std::size_t pixels,
                  std::int32_t *out, Isa isa, PixelRead &result) noexcept;

// What uncompressImage would print for the entry, without decoding it.
struct EntryReport {
    bool no_memory = false; // a coded entry whose width * height no array can hold
    Verdict verdict;        // otherwise, for a coded entry
};

// read_xi_header's look at the pixel entry, which produces no pixel: makes sure the entry can be read
// as readXImage would read it (inside a regular file it is known to lie whole; through a pipe or a
// device it has to be read to be known) and, for a coded entry, counts the escapes of the codes the
// entry holds.
Fault check_pixel_entry(Source &source, const Container &container, const Fields &fields, Isa isa,
                        EntryReport &report) noexcept;

} // namespace plateio::xarea
