// An exposure as the library hands it to a host: its pixels, and when asked its description.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "detect.hpp"
#include "plateio.h"

namespace plateio::cli {

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};

struct Exposure {
    Format format = Format::tra;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::unique_ptr<std::int32_t[], FreeDeleter> pixels; // from the library; PIXEL_OVERFLOW marks
    std::optional<image_info> info;                      // when described
    std::optional<bool> compressed;                      // X-Area, when described

    std::span<const std::int32_t> view() const {
        return {pixels.get(), static_cast<std::size_t>(width) * static_cast<std::size_t>(height)};
    }
};

// Detects the format and loads the pixels with read_tra or read_xi; with `describe`, also the
// header with read_tra_header or read_xi_header (and, for X-Area, whether the pixel block is
// difference-coded). geometry entries a format does not fill are NaN. The library's own messages
// appear on standard output; a failure throws FileError.
Exposure load_exposure(const std::string &path, bool describe);

} // namespace plateio::cli
