#include "exposure.hpp"

#include <algorithm>
#include <cstring>

#include "errors.hpp"
#include "files.hpp"

namespace plateio::cli {

namespace {

// A TRA image is always 1200 x 1200; an X-Area pixel takes at least a byte of its file (a code of a
// difference-coded block, four bytes of a plain one). So max(1200 * 1200, file size) pixels always
// hold the image, and the whole frame comes from one read. The memory is not touched beyond the
// image. Beyond a bound the size is asked first instead.
constexpr std::uint64_t kTraPixels = 1200 * 1200;
constexpr std::uint64_t kGuessBound = std::uint64_t{1} << 27;

std::string reason_of(const plateio_frame &frame, std::int32_t code) {
    return frame.reason[0] != '\0' ? std::string(frame.reason) : std::string(plateio_strerror(code));
}

std::int32_t *allocate(std::size_t count) {
    return static_cast<std::int32_t *>(std::malloc(std::max<std::size_t>(count, 1) * sizeof(std::int32_t)));
}

} // namespace

Exposure load_exposure(const std::string &path) {
    const InputFile input = open_input(path);
    // The library reads the descriptor already opened and checked, never what the name leads to now.
    const std::string name = input.descriptor_path();
    Exposure exposure;
    exposure.source = path;
    const auto fail = [&](const plateio_frame &frame, std::int32_t code) {
        throw FileError(path, reason_of(frame, code), code);
    };
    const auto reserve = [&](std::size_t count) {
        exposure.pixels.reset(allocate(count));
        if (!exposure.pixels) {
            throw FileError(path, plateio_strerror(PLATEIO_E_NO_MEMORY), PLATEIO_E_NO_MEMORY);
        }
        return count;
    };
    std::size_t capacity = 0;
    if (const std::uint64_t guess = std::max(kTraPixels, input.size()); guess <= kGuessBound) {
        capacity = reserve(static_cast<std::size_t>(guess));
    }
    std::int32_t code = plateio_read(name.c_str(), exposure.pixels.get(), capacity, &exposure.frame, 0);
    if (code == PLATEIO_E_CAPACITY) {
        capacity = reserve(exposure.size());
        code = plateio_read(name.c_str(), exposure.pixels.get(), capacity, &exposure.frame, 0);
    }
    if (code != PLATEIO_OK) {
        fail(exposure.frame, code);
    }
    // The record names the file as the user did, not by its descriptor.
    std::memset(exposure.frame.info.path, 0, sizeof exposure.frame.info.path);
    std::memcpy(exposure.frame.info.path, path.data(),
                std::min(path.size(), sizeof exposure.frame.info.path - 1));
    if ((exposure.frame.warnings & PLATEIO_WARN_COUNTS) != 0) {
        exposure.warnings.push_back(reason_of(exposure.frame, code));
    }
    exposure.mask.resize(exposure.size());
    plateio_frame frame{};
    code = plateio_read_mask(name.c_str(), exposure.mask.data(), exposure.mask.size(), &frame);
    if (code != PLATEIO_OK) {
        fail(frame, code);
    }
    const std::int32_t *pixels = exposure.pixels.get();
    for (std::size_t i = 0; i < exposure.mask.size(); ++i) {
        const bool off = exposure.mask[i] != 0;
        const bool over = !off && pixels[i] == PIXEL_OVERFLOW;
        exposure.mask[i] = off ? kMaskOffPlate : over ? kMaskOverflowed : 0;
        exposure.off_plate += off ? 1 : 0;
        exposure.overflowed += over ? 1 : 0;
    }
    return exposure;
}

} // namespace plateio::cli
