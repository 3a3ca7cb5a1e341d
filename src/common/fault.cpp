#include "common/fault.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "plateio.h"

namespace plateio {

namespace {

// strerror_r comes in two shapes (the GNU one returns the text, the POSIX one fills the buffer).
[[maybe_unused]] const char *error_text(int result, const char *buffer) noexcept {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char *error_text(const char *result, const char *) noexcept {
    return result;
}

} // namespace

std::int32_t result_code(const Fault &f) noexcept {
    switch (f.kind) {
    case FaultKind::none:
        return PLATEIO_OK;
    case FaultKind::argument:
        return PLATEIO_E_ARGUMENT;
    case FaultKind::cannot_open:
        return PLATEIO_E_OPEN;
    case FaultKind::unknown_short:
    case FaultKind::unknown_row:
    case FaultKind::unknown_length:
        return PLATEIO_E_FORMAT;
    case FaultKind::container_short:
    case FaultKind::container_magic:
        return PLATEIO_E_NOT_CONTAINER;
    case FaultKind::toc_count:
    case FaultKind::toc_short:
        return PLATEIO_E_TOC;
    case FaultKind::no_header_entry:
        return PLATEIO_E_NO_HEADER;
    case FaultKind::header_seek:
        return PLATEIO_E_HEADER_SEEK;
    case FaultKind::header_corrupt:
    case FaultKind::pixel_corrupt:
        return PLATEIO_E_CORRUPT;
    case FaultKind::no_pixel_entry:
        return PLATEIO_E_NO_PIXELS;
    case FaultKind::pixel_seek:
        return PLATEIO_E_PIXEL_SEEK;
    case FaultKind::image_size:
        return PLATEIO_E_SIZE;
    case FaultKind::codes_short:
    case FaultKind::plain_short:
    case FaultKind::values_short:
    case FaultKind::tra_header_short:
    case FaultKind::tra_stream_short:
        return PLATEIO_E_SHORT;
    case FaultKind::tra_row_table:
        return PLATEIO_E_ROW_TABLE;
    case FaultKind::toc_no_memory:
    case FaultKind::block_no_memory:
    case FaultKind::no_memory:
        return PLATEIO_E_NO_MEMORY;
    case FaultKind::capacity:
        return PLATEIO_E_CAPACITY;
    case FaultKind::path_too_long:
        return PLATEIO_E_PATH;
    }
    return PLATEIO_E_ARGUMENT;
}

void describe(const Fault &f, char *out, std::size_t capacity) noexcept {
    if (out == nullptr || capacity == 0) {
        return;
    }
    const std::int64_t a = f.a;
    const std::int64_t b = f.b;
    const char *what = f.what != nullptr ? f.what : "";
    char system[128] = "";
    if (f.system_error != 0) {
        char buffer[96] = "";
        std::snprintf(system, sizeof system, " (%s)",
                      error_text(strerror_r(f.system_error, buffer, sizeof buffer), buffer));
    }
    switch (f.kind) {
    case FaultKind::none:
        out[0] = '\0';
        return;
    case FaultKind::argument:
        std::snprintf(out, capacity, "%s", what);
        return;
    case FaultKind::cannot_open:
        std::snprintf(out, capacity, "cannot open the file%s", system);
        return;
    case FaultKind::unknown_short:
        std::snprintf(out, capacity,
                      "not a TRA or X-Area file: no X-Area magic, and at %" PRId64
                      " bytes too short for a TRA header and row table (1536 bytes)",
                      a);
        return;
    case FaultKind::unknown_row:
        std::snprintf(out, capacity,
                      "not a TRA or X-Area file: no X-Area magic, and TRA row %" PRId64 " would be %" PRId64
                      " pixels wide, more than the grid's 1200",
                      a, b);
        return;
    case FaultKind::unknown_length:
        std::snprintf(out, capacity,
                      "not a TRA or X-Area file: no X-Area magic, and its TRA row table calls for %" PRId64
                      " bytes, but it has %" PRId64,
                      a, b);
        return;
    case FaultKind::container_short:
        std::snprintf(out, capacity, "X-Area file header cut short: %" PRId64 " of 104 bytes%s", a, system);
        return;
    case FaultKind::container_magic:
        std::snprintf(out, capacity,
                      "not an X-Area file: the first 11 bytes are not \"STOE_XFILE\" and a zero");
        return;
    case FaultKind::toc_count:
        std::snprintf(out, capacity, "table of contents: an entry count of %" PRId64 " cannot be", a);
        return;
    case FaultKind::toc_no_memory:
        std::snprintf(out, capacity, "no memory for a table of contents of %" PRId64 " bytes", a);
        return;
    case FaultKind::toc_short:
        std::snprintf(out, capacity,
                      "table of contents cut short: %" PRId64 " entries announced, %" PRId64 " in the file%s",
                      a, b, system);
        return;
    case FaultKind::no_header_entry:
        std::snprintf(out, capacity, "no \"XArea_ImgHdr\" entry among the %" PRId64 " entries searched", a);
        return;
    case FaultKind::header_seek:
        std::snprintf(out, capacity, "cannot seek to the image header entry at offset %" PRId64 "%s", a,
                      system);
        return;
    case FaultKind::header_corrupt:
        std::snprintf(out, capacity,
                      "image header entry of %" PRId64 " bytes at offset %" PRId64 " is not in the file%s", a,
                      b, system);
        return;
    case FaultKind::no_pixel_entry:
        std::snprintf(out, capacity, "no \"XArea_Image\" entry among the %" PRId64 " entries searched", a);
        return;
    case FaultKind::pixel_seek:
        std::snprintf(out, capacity, "cannot seek to the pixel entry at offset %" PRId64 "%s", a, system);
        return;
    case FaultKind::pixel_corrupt:
        std::snprintf(out, capacity,
                      "pixel entry of %" PRId64 " bytes at offset %" PRId64 " is not in the file%s", a, b,
                      system);
        return;
    case FaultKind::block_no_memory:
    case FaultKind::no_memory:
        std::snprintf(out, capacity, "no memory for %" PRId64 " bytes", a);
        return;
    case FaultKind::image_size:
        std::snprintf(out, capacity, "an image of %" PRId64 " x %" PRId64 " pixels cannot be read", a, b);
        return;
    case FaultKind::codes_short:
        std::snprintf(out, capacity,
                      "difference-coded pixel entry of %" PRId64 " bytes holds fewer codes than its %" PRId64
                      " pixels",
                      b, a);
        return;
    case FaultKind::plain_short:
        std::snprintf(out, capacity,
                      "plain pixel entry of %" PRId64 " bytes is shorter than its pixels' %" PRId64 " bytes",
                      b, a);
        return;
    case FaultKind::values_short:
        std::snprintf(out, capacity,
                      "difference-coded pixel entry ends inside its %s values: the codes take %" PRId64
                      ", the entry holds %" PRId64,
                      what, a, b);
        return;
    case FaultKind::tra_header_short:
        std::snprintf(out, capacity,
                      "TRA file of %" PRId64 " bytes is shorter than its %" PRId64 "-byte header%s", a, b,
                      system);
        return;
    case FaultKind::tra_row_table:
        std::snprintf(out, capacity,
                      "TRA row table: row %" PRId64 " has half-width %" PRId64 ", more than the grid's 600",
                      a, b);
        return;
    case FaultKind::tra_stream_short:
        std::snprintf(out, capacity,
                      "TRA pixel stream cut short: the row table calls for %" PRId64
                      " values, the file holds %" PRId64 "%s",
                      a, b, system);
        return;
    case FaultKind::capacity:
        std::snprintf(out, capacity, "the array holds %" PRId64 " elements, the image has %" PRId64, b, a);
        return;
    case FaultKind::path_too_long:
        std::snprintf(out, capacity, "a path of %" PRId64 " bytes does not fit the 4096 of image_info.path",
                      a);
        return;
    }
    std::snprintf(out, capacity, "unknown fault");
}

} // namespace plateio
