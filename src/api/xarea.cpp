// The exported X-Area functions. Each owns the C conventions (1/0, records written only on success)
// and says a fault the one way it is specified to: the container's messages from the table of fault
// kinds, the import's one line for everything else.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "api/messages.hpp"
#include "common/isa.hpp"
#include "common/memory.hpp"
#include "host/image_info.hpp"
#include "plateio.h"
#include "xarea/block.hpp"
#include "xarea/container.hpp"
#include "xarea/decode.hpp"
#include "xarea/import.hpp"
#include "xarea/record.hpp"

using namespace plateio;

namespace {

void print_container_fault(const Fault &f) noexcept {
    if (const char *message = api::container_message(f.kind)) {
        std::fputs(message, stdout);
    }
}

// The import's two functions: the container's own message where the container reader would have
// printed one for a file it opened, else the import's line.
void print_import_fault(const Fault &f, const char *path) noexcept {
    const bool opened = f.kind != FaultKind::argument && f.kind != FaultKind::cannot_open;
    if (opened && api::container_message(f.kind) != nullptr) {
        print_container_fault(f);
    } else {
        std::printf("# \x1b[31;1mERROR\x1b[0m READING %s\n", api::shown(path));
    }
}

void print_decode_report(const xarea::Verdict &verdict, const xarea::Fields &fields) noexcept {
    std::printf("%" PRIu64 " %d %" PRIu64 " %d\n", verdict.taken.values32, fields.delta32_count,
                verdict.taken.values16, fields.delta16_count);
    std::fputs(" uncompressImage(): corrupt imagedata ", stdout);
}

void print_no_memory() noexcept {
    std::fputs(" uncompressImage(): no memory", stdout);
}

// The container read and its pixel count, common to both import functions.
Fault open_exposure(Source &source, const char *path, xi_header &record,
                    xarea::Container &container) noexcept {
    if (Fault f = source.open(path)) {
        return f;
    }
    return xarea::open_container(source, record, container);
}

} // namespace

extern "C" {

PLATEIO_API std::int32_t readXImage(const char *path, xi_header *header, void **block) {
    if (path == nullptr || header == nullptr || block == nullptr) {
        print_container_fault(fault(FaultKind::argument));
        return 0;
    }
    Source source;
    xarea::Container container;
    MallocPtr<std::uint8_t> pixels;
    std::size_t length = 0;
    Fault f = source.open(path);
    if (!f) {
        f = xarea::open_container(source, *header, container);
    }
    if (!f) {
        f = xarea::read_pixel_block(source, container, pixels, length);
    }
    if (f) {
        print_container_fault(f);
        if (xarea::taking_pixel_entry(f)) {
            *block = nullptr;
        }
        return 0;
    }
    *block = pixels.release();
    return 1;
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY void uncompressImage(const xi_header *header, void **block) {
    if (header == nullptr || block == nullptr || *block == nullptr) {
        return;
    }
    const xarea::Fields fields = xarea::fields_of(*header);
    if (!fields.coded()) {
        return;
    }
    const auto pixel_count = image_elements(fields.width, fields.height, sizeof(std::int32_t));
    if (!pixel_count) {
        print_no_memory();
        return;
    }
    // The entry's own length, from readXImage's trailer (or the allocation, for a block of the host's):
    // no byte behind it is decoded.
    const auto *entry = static_cast<const std::uint8_t *>(*block);
    const std::size_t length = xarea::block_length(entry);
    const xarea::EntryLayout layout =
        xarea::entry_layout(*pixel_count, length, fields.delta16_count, fields.delta32_count);
    // Pixels the entry gives no code for stay 0 and cost no memory: a short entry under a huge header
    // takes zero pages, and only the pixels it describes are written.
    auto pixels = layout.codes == *pixel_count ? malloc_array<std::int32_t>(*pixel_count)
                                               : zeroed_array<std::int32_t>(*pixel_count);
    if (!pixels) {
        print_no_memory();
        return;
    }
    if (layout.codes == *pixel_count) {
        advise_huge_pages(pixels.get(), *pixel_count * sizeof(std::int32_t));
    }
    xarea::CodedSections sections =
        xarea::value_sections({entry + layout.codes, length - layout.codes}, layout);
    sections.codes = {entry, layout.codes};
    xarea::DecodeState state;
    xarea::decode_codes(best_isa(), sections, pixels.get(), layout.codes, state, nullptr);
    const xarea::Verdict verdict =
        xarea::judge(state.taken(), layout, fields.delta16_count, fields.delta32_count);
    if (verdict.corrupt()) {
        print_decode_report(verdict, fields);
    }
    xarea::release_block(*block);
    *block = pixels.release();
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_xi(const char *path, pixel_image *image,
                                                       reduction_params *params) {
    if (path == nullptr || image == nullptr || params == nullptr) {
        print_import_fault(fault(FaultKind::argument), path);
        return 0;
    }
    Source source;
    xi_header record;
    xarea::Container container;
    std::size_t pixel_count = 0;
    xarea::Fields fields;
    MallocPtr<std::int32_t> pixels;
    xarea::PixelRead read;
    Fault f = open_exposure(source, path, record, container);
    if (!f) {
        fields = xarea::fields_of(record);
        f = xarea::image_pixels(fields, pixel_count);
    }
    if (!f) {
        f = xarea::check_entry_length(fields, pixel_count, container);
    }
    if (!f) {
        pixels = malloc_array<std::int32_t>(pixel_count);
        advise_huge_pages(pixels.get(), pixel_count * sizeof(std::int32_t));
        f = pixels
                ? xarea::read_pixels(source, container, fields, pixel_count, pixels.get(), best_isa(), read)
                : fault(FaultKind::no_memory, static_cast<std::int64_t>(pixel_count * sizeof(std::int32_t)));
    }
    if (f) {
        print_import_fault(f, path);
        return 0;
    }
    if (read.verdict.counts_disagree) {
        print_decode_report(read.verdict, fields);
    }
    image->width = fields.width;
    image->height = fields.height;
    // The host marks a geometry2 it has not set with -999.0; a value it set is its own to keep.
    if (params->geometry2 == PLATEIO_UNSET || std::isnan(params->geometry2)) {
        params->geometry2 = fields.geometry2;
    }
    params->geometry4 = fields.geometry4;
    params->geometry1 = fields.geometry1;
    params->geometry0 = fields.geometry0;
    params->geometry3 = fields.geometry3;
    params->geometry5 = fields.geometry5;
    image->geometry1 = fields.geometry1;
    image->geometry0 = fields.geometry0;
    image->pixels = pixels.release();
    image->pixel_count = static_cast<std::int32_t>(pixel_count);
    image->overflow_threshold = fields.overflow_threshold;
    image->scale_value = fields.scale_value;
    image->overflow_count = static_cast<std::int32_t>(read.overflow_count);
    return 1;
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t read_xi_header(const char *path, image_info *info) {
    if (path == nullptr || info == nullptr) {
        print_import_fault(fault(FaultKind::argument), path);
        return 0;
    }
    Source source;
    xi_header record;
    xarea::Container container;
    xarea::Fields fields;
    xarea::EntryReport report;
    Fault f = host::path_fits(path) ? open_exposure(source, path, record, container)
                                    : fault(FaultKind::path_too_long);
    if (!f) {
        fields = xarea::fields_of(record);
        f = xarea::check_pixel_entry(source, container, fields, best_isa(), report);
    }
    if (f) {
        print_import_fault(f, path);
        return 0;
    }
    xarea::describe(*info, fields, path);
    // What uncompressImage would say of the block, as the import decodes it.
    if (report.no_memory) {
        print_no_memory();
    } else if (report.verdict.corrupt()) {
        print_decode_report(report.verdict, fields);
    }
    return 1;
}

} // extern "C"
