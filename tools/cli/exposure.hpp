// An exposure as the tool reads it, through the library's quiet functions: the pixels and the frame
// (family, size, overflow count, header values) from one plateio_read, and the mask of pixels the
// file records no value for from plateio_read_mask, turned into the pixel mask every output carries.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "plateio.h"

namespace plateio::cli {

// The pixel mask the tool writes, in every format: NeXus's pixel_mask bits, of which two are used.
inline constexpr std::uint8_t kMaskOffPlate = 1;   // bit 0, "no sensor there": off the round plate
inline constexpr std::uint8_t kMaskOverflowed = 8; // bit 3, "over-responding": holds PIXEL_OVERFLOW

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};

struct Exposure {
    std::string source; // the name it was read by
    plateio_frame frame{};
    std::unique_ptr<std::int32_t[], FreeDeleter> pixels; // PIXEL_OVERFLOW marks overflowed pixels
    std::vector<std::uint8_t> mask;                      // kMaskOffPlate, kMaskOverflowed or 0 a pixel
    std::int64_t off_plate = 0;                          // pixels marked kMaskOffPlate
    std::int64_t overflowed = 0;                         // pixels marked kMaskOverflowed
    std::vector<std::string> warnings;                   // what the library warned of, one line each

    std::size_t size() const {
        return static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height);
    }
    std::span<const std::int32_t> view() const { return {pixels.get(), size()}; }
    bool tra() const { return frame.family == PLATEIO_FAMILY_TRA; }
};

// Opens the input once (open_input) and reads it, pixels and mask. A failure throws FileError with
// the library's code and reason.
Exposure load_exposure(const std::string &path);

// What the file is (family, width, height, header), told as load_exposure would read it, without
// keeping its pixels. A failure throws FileError as load_exposure's does.
plateio_frame probe_exposure(const std::string &path);

} // namespace plateio::cli
