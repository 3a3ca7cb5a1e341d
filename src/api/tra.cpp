// The exported TRA functions: thin shims that own the C conventions (1/0, the message, out-parameters
// written only on success) over the layout, header and remap code. Every fault of a TRA reader is
// said the same way, with the reader's one message.
#include <cstdio>
#include <limits>

#include "api/messages.hpp"
#include "common/isa.hpp"
#include "common/memory.hpp"
#include "host/image_info.hpp"
#include "plateio.h"
#include "tra/header.hpp"
#include "tra/layout.hpp"
#include "tra/remap.hpp"
#include "tra/word_swap.hpp"

namespace plateio::tra {

namespace {

std::int32_t clamp_count(std::uint64_t count) noexcept {
    return count > std::uint64_t{std::numeric_limits<std::int32_t>::max()}
               ? std::numeric_limits<std::int32_t>::max()
               : static_cast<std::int32_t>(count);
}

// Loads the whole grid from `path`.
Fault load_grid(const char *path, Saturation saturation, MallocPtr<std::int32_t> &grid) noexcept {
    Source source;
    Head head;
    RowSpans spans;
    if (Fault f = open_spans(path, source, head, spans)) {
        return f;
    }
    grid = malloc_array<std::int32_t>(kGridPixels);
    if (!grid) {
        return fault(FaultKind::no_memory, static_cast<std::int64_t>(kGridPixels * sizeof(std::int32_t)));
    }
    std::uint64_t saturated = 0;
    return read_grid(source, spans, grid.get(), saturation, best_isa(), saturated);
}

std::int32_t read_image(const char *path, std::int32_t **pixels, std::int32_t *width, std::int32_t *height,
                        Saturation saturation, const char *failure_format) noexcept {
    MallocPtr<std::int32_t> grid;
    const bool arguments = path != nullptr && pixels != nullptr && width != nullptr && height != nullptr;
    if (!arguments || load_grid(path, saturation, grid)) {
        std::printf(failure_format, api::shown(path));
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
    Source source;
    tra::HeaderValues values;
    const bool read = path != nullptr && info != nullptr && host::path_fits(path) && !source.open(path) &&
                      !tra::read_header_values(source, values);
    if (!read) {
        std::printf("# \x1b[0mERROR\x1b[0m READING %s\n", api::shown(path));
        return 0;
    }
    tra::describe(*info, values, path);
    return 1;
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_az_tra(const char *path, remap_target *target,
                                                           std::int32_t **index_map) {
    // Counts within one call only, so a failed call reports none.
    if (target != nullptr) {
        target->overload_count = 0;
    }
    const bool arguments = path != nullptr && target != nullptr && index_map != nullptr &&
                           *index_map != nullptr && (target->cells != nullptr || target->cell_count <= 0);
    std::uint64_t overflowed = 0;
    if (!arguments || tra::read_remapped(path, *target, index_map, overflowed)) {
        std::printf("# \x1b[0mERROR\x1b[0m READING %s\n", api::shown(path));
        return 0;
    }
    target->overload_count = tra::clamp_count(overflowed);
    target->aux_value = 0.0;
    return 1;
}

PLATEIO_API double convert_8_to_double(const void *bytes) {
    return bytes != nullptr ? tra::decode_vax_real(static_cast<const std::uint8_t *>(bytes)) : 0.0;
}

PLATEIO_API std::int32_t convert_4_to_int(const void *bytes) {
    if (bytes == nullptr) {
        return 0;
    }
    const auto *field = static_cast<const std::uint8_t *>(bytes);
    for (int i = 0; i < 4; ++i) {
        std::printf(" %x", static_cast<unsigned>(field[i]));
    }
    return tra::decode_swapped_int(field);
}

} // extern "C"
