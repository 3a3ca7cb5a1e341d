// The exported TRA functions: thin shims that own the C conventions (1/0, messages, out-parameters
// written only on success) over the layout and header code.
#include <cstdio>

#include "common/entry.hpp"
#include "common/file.hpp"
#include "common/memory.hpp"
#include "host/image_info.hpp"
#include "plateio.h"
#include "tra/header.hpp"
#include "tra/layout.hpp"
#include "tra/word_swap.hpp"

namespace plateio::tra {

namespace {

// Loads the whole grid, or nothing when the file cannot be opened, is damaged or memory runs out.
MallocPtr<std::int32_t> load_grid(const char *path, Saturation saturation) noexcept {
    const File file = open_file(path, "rb");
    if (!file) {
        return nullptr;
    }
    auto grid = malloc_array<std::int32_t>(kGridPixels);
    if (!grid || read_grid(file.get(), grid.get(), saturation) != GridStatus::ok) {
        return nullptr;
    }
    return grid;
}

std::int32_t read_image(const char *path, std::int32_t **pixels, std::int32_t *width, std::int32_t *height,
                        Saturation saturation, const char *failure_format) noexcept {
    auto grid = load_grid(path, saturation);
    if (!grid) {
        std::printf(failure_format, path);
        return 0;
    }
    *pixels = grid.release();
    *width = kGridSize;
    *height = kGridSize;
    return 1;
}

} // namespace

} // namespace plateio::tra

using namespace plateio;

extern "C" {

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_tra(const char *path, std::int32_t **pixels,
                                                        std::int32_t *width, std::int32_t *height) {
    return tra::read_image(path, pixels, width, height, tra::Saturation::mark,
                           "# \x1b[0mERROR\x1b[0m READING %s returning 0\n");
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_short_tra(const char *path, std::int32_t **pixels,
                                                              std::int32_t *width, std::int32_t *height) {
    return tra::read_image(path, pixels, width, height, tra::Saturation::keep,
                           "# \x1b[0mERROR\x1b[0m READING %s\n");
}

PLATEIO_API std::int32_t read_tra_header(const char *path, image_info *info) {
    std::optional<tra::HeaderValues> values;
    if (host::path_fits(path)) {
        if (const File file = open_file(path, "rb")) {
            values = tra::read_header_values(file.get());
        }
    }
    if (!values) {
        std::printf("# \x1b[0mERROR\x1b[0m READING %s\n", path);
        return 0;
    }
    info->overload_count = host::kAbsent;
    info->geometry[0] = values->geometry0;
    info->geometry[1] = 0.0;
    info->geometry[2] = values->geometry2;
    info->geometry[3] = values->geometry3;
    info->geometry[4] = values->geometry4;
    info->geometry[5] = values->geometry5;
    info->setting = host::kAbsent;
    info->overflow_threshold = host::kAbsent;
    info->scale_value = host::kAbsentReal;
    host::store_path(*info, path);
    return 1;
}

PLATEIO_API double convert_8_to_double(const void *bytes) {
    return tra::decode_vax_real(static_cast<const std::uint8_t *>(bytes));
}

PLATEIO_API std::int32_t convert_4_to_int(const void *bytes) {
    const auto *field = static_cast<const std::uint8_t *>(bytes);
    for (int i = 0; i < 4; ++i) {
        std::printf(" %x", static_cast<unsigned>(field[i]));
    }
    return tra::decode_swapped_int(field);
}

} // extern "C"
