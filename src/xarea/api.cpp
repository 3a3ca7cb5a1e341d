// The exported X-Area functions: thin shims that own the C conventions over the container reader,
// the decoder and the import.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/entry.hpp"
#include "common/memory.hpp"
#include "host/image_info.hpp"
#include "plateio.h"
#include "xarea/container.hpp"
#include "xarea/decode.hpp"
#include "xarea/import.hpp"
#include "xarea/record.hpp"

using namespace plateio;

namespace {

void print_import_failure(const char *path) noexcept {
    std::printf("# \x1b[31;1mERROR\x1b[0m READING %s\n", path);
}

// False when the caller must return 0, after printing the import's message where the container
// reader has not printed its own.
bool imported(xarea::ImportStatus status, const char *path) noexcept {
    if (status == xarea::ImportStatus::refused) {
        print_import_failure(path);
    }
    return status == xarea::ImportStatus::ok;
}

} // namespace

extern "C" {

PLATEIO_API std::int32_t readXImage(const char *path, xi_header *header, void **block) {
    xarea::ContainerRead read = xarea::read_container(path, *header);
    if (!read.ok) {
        if (read.reached_pixel_entry) {
            *block = nullptr;
        }
        return 0;
    }
    *block = read.block.release();
    return 1;
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY void uncompressImage(const xi_header *header, void **block) {
    if (header->compression != xarea::kDifferenceCoded) {
        return;
    }
    const auto pixel_count = image_elements(header->width, header->height, sizeof(std::int32_t));
    auto pixels = pixel_count ? malloc_array<std::int32_t>(*pixel_count) : nullptr;
    if (!pixels) {
        std::fputs(" uncompressImage(): no memory", stdout);
        return;
    }
    // The block's length is not passed in; the allocator knows how much of it may be read, and
    // readXImage zeroes what lies behind the entry's bytes.
    const auto *coded = static_cast<const std::uint8_t *>(*block);
    const std::span<const std::uint8_t> bytes(coded, allocated_size(coded, SIZE_MAX));
    const xarea::CodedLayout layout =
        xarea::coded_layout(bytes, *pixel_count, header->delta16_count, header->delta32_count);
    const xarea::Taken taken = xarea::decode(layout.sections, pixels.get(), *pixel_count);
    if (!layout.complete || xarea::counts_disagree(taken, *header)) {
        xarea::report_corrupt_stream(taken, *header);
    }
    std::free(*block);
    *block = pixels.release();
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_xi(const char *path, pixel_image *image,
                                                       reduction_params *params) {
    xarea::Exposure exposure;
    xarea::MarkedPixels marked;
    if (!imported(xarea::open_exposure(path, exposure), path) ||
        !imported(xarea::load_marked_pixels(exposure, marked), path)) {
        return 0;
    }
    const xi_header &header = exposure.header;
    image->width = header.width;
    image->height = header.height;
    // The host marks a geometry2 it has not set with -999.0; a value it set is its own to keep.
    if (params->geometry2 == PLATEIO_UNSET || std::isnan(params->geometry2)) {
        params->geometry2 = header.geometry2;
    }
    params->geometry4 = header.geometry4;
    params->geometry1 = header.geometry1;
    params->geometry0 = header.geometry0;
    params->geometry3 = header.geometry3;
    params->geometry5 = header.geometry5;
    image->geometry1 = header.geometry1;
    image->geometry0 = header.geometry0;
    image->pixels = marked.pixels.release();
    image->pixel_count = static_cast<std::int32_t>(exposure.pixel_count);
    image->overflow_threshold = header.overflow_threshold;
    image->scale_value = header.scale_value;
    image->overflow_count = static_cast<std::int32_t>(marked.overflow_count);
    return 1;
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_xi_header(const char *path, image_info *info) {
    xarea::Exposure exposure;
    if (!host::path_fits(path)) {
        print_import_failure(path);
        return 0;
    }
    if (!imported(xarea::open_exposure(path, exposure), path) ||
        !imported(xarea::check_pixel_entry(exposure), path)) {
        return 0;
    }
    const xi_header &header = exposure.header;
    host::store_path(*info, path);
    info->geometry[0] = header.geometry0;
    info->geometry[1] = header.geometry1;
    info->geometry[2] = header.geometry2;
    info->geometry[3] = header.geometry3;
    info->geometry[4] = header.geometry4;
    info->geometry[5] = header.geometry5;
    info->geometry[6] = header.geometry6;
    info->geometry[7] = header.geometry7;
    info->geometry[8] = header.geometry8;
    info->setting = header.setting;
    info->overflow_threshold = header.overflow_threshold;
    info->scale_value = header.scale_value;
    info->overload_count = header.overload_count;
    return 1;
}

} // extern "C"
