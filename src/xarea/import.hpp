// Bringing an X-Area exposure into the host's records: the container read, the checks of the
// header against the block, and the pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/memory.hpp"
#include "plateio.h"
#include "xarea/decode.hpp"

namespace plateio::xarea {

// A container read whose header and block agree: the block holds every pixel the header's width and
// height call for, plain or coded.
struct Exposure {
    xi_header header{};
    MallocPtr<std::uint8_t> block;
    std::size_t length = 0;
    std::size_t pixel_count = 0; // width * height, at most INT32_MAX
    bool coded = false;
    CodedSections sections; // when coded
};

enum class OpenStatus {
    ok,
    container_failed, // the container reader has printed its message
    refused,          // the caller prints the import's message
};

// Tests that `path` opens, reads its container and checks the block against the header: a width or
// height below 0, a pixel count beyond the platform's arrays or an int32, or a block shorter than its
// pixels (plain: 4 bytes each; coded: codes and both value sections) is refused.
OpenStatus open_exposure(const char *path, Exposure &exposure) noexcept;

// The exposure's pixels in a new array, each above the header's overflow threshold stored as
// PIXEL_OVERFLOW and counted; a coded block is decoded in the same pass (and its count-mismatch
// report printed). Nothing when the array cannot be allocated.
struct MarkedPixels {
    MallocPtr<std::int32_t> pixels;
    std::uint64_t overflow_count = 0;
};

std::optional<MarkedPixels> load_marked_pixels(const Exposure &exposure) noexcept;

// For a coded block, prints the count-mismatch report as decoding would, without decoding.
void report_counts(const Exposure &exposure) noexcept;

} // namespace plateio::xarea
