#include "exposure.hpp"

#include <algorithm>

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

const char *family_name(std::int32_t family) {
    return family == PLATEIO_FAMILY_TRA ? "TRA" : family == PLATEIO_FAMILY_XAREA ? "X-Area" : "unknown";
}

Exposure load_exposure(const std::string &path, bool with_mask) {
    const std::uint64_t file_size = check_input(path);
    Exposure exposure;
    std::size_t capacity = 0;
    if (const std::uint64_t guess = std::max(kTraPixels, file_size); guess <= kGuessBound) {
        capacity = static_cast<std::size_t>(guess);
        exposure.pixels.reset(allocate(capacity));
        if (!exposure.pixels) {
            throw FileError(path, plateio_strerror(PLATEIO_E_NO_MEMORY), PLATEIO_E_NO_MEMORY);
        }
    }
    std::int32_t code = plateio_read(path.c_str(), exposure.pixels.get(), capacity, &exposure.frame, 0);
    if (code == PLATEIO_E_CAPACITY) {
        capacity = exposure.size();
        exposure.pixels.reset(allocate(capacity));
        if (!exposure.pixels) {
            throw FileError(path, plateio_strerror(PLATEIO_E_NO_MEMORY), PLATEIO_E_NO_MEMORY);
        }
        code = plateio_read(path.c_str(), exposure.pixels.get(), capacity, &exposure.frame, 0);
    }
    if (code != PLATEIO_OK) {
        throw FileError(path, reason_of(exposure.frame, code), code);
    }
    if ((exposure.frame.warnings & PLATEIO_WARN_COUNTS) != 0) {
        exposure.warnings.push_back(reason_of(exposure.frame, code));
    }
    if (with_mask) {
        exposure.mask.resize(exposure.size());
        plateio_frame frame{};
        code = plateio_read_mask(path.c_str(), exposure.mask.data(), exposure.mask.size(), &frame);
        if (code != PLATEIO_OK) {
            throw FileError(path, reason_of(frame, code), code);
        }
    }
    return exposure;
}

} // namespace plateio::cli
