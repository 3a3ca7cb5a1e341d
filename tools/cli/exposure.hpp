// An exposure as the tool reads it, through the library's quiet functions: the pixels and the frame
// (family, size, overflow count, header values) from one plateio_read, and, when asked, the mask of
// pixels the file records no value for from plateio_read_mask.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "plateio.h"

namespace plateio::cli {

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};

struct Exposure {
    plateio_frame frame{};
    std::unique_ptr<std::int32_t[], FreeDeleter> pixels; // PIXEL_OVERFLOW marks overflowed pixels
    std::vector<std::uint8_t> mask;                      // 1: no value recorded; empty when not read
    std::vector<std::string> warnings;                   // what the library warned of, one line each

    std::size_t size() const {
        return static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height);
    }
    std::span<const std::int32_t> view() const { return {pixels.get(), size()}; }
    bool tra() const { return frame.family == PLATEIO_FAMILY_TRA; }
};

// "TRA" or "X-Area".
const char *family_name(std::int32_t family);

// Checks the input (check_input) and reads it; with `with_mask` also its mask. A failure throws
// FileError with the library's code and reason.
Exposure load_exposure(const std::string &path, bool with_mask);

} // namespace plateio::cli
