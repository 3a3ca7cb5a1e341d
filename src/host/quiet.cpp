// The quiet functions: either family by content, into the host's own arrays, every fault a code and a
// one-line reason, nothing printed.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/fault.hpp"
#include "common/file.hpp"
#include "common/isa.hpp"
#include "host/detect.hpp"
#include "host/image_info.hpp"
#include "plateio.h"
#include "tra/header.hpp"
#include "tra/layout.hpp"
#include "xarea/container.hpp"
#include "xarea/import.hpp"
#include "xarea/record.hpp"

#define PLATEIO_STRINGIFY_(x) #x
#define PLATEIO_STRINGIFY(x) PLATEIO_STRINGIFY_(x)

#if defined(PLATEIO_PROJECT_VERSION_MAJOR)
static_assert(PLATEIO_VERSION_MAJOR == PLATEIO_PROJECT_VERSION_MAJOR &&
                  PLATEIO_VERSION_MINOR == PLATEIO_PROJECT_VERSION_MINOR &&
                  PLATEIO_VERSION_PATCH == PLATEIO_PROJECT_VERSION_PATCH,
              "the header's version macros and the project's version differ");
#endif

namespace plateio::host {

namespace {

// A probe reads the file header, at most this much of the table of contents and the header entry:
// with the first bytes peeked at, less than 64 KiB in all.
constexpr std::size_t kProbeTableBytes = 1500 * 40;

// The overflow threshold a TRA frame reports: its saturation mark, 65535, is the one value above it.
constexpr std::int32_t kTraThreshold = 65534;

void reset(plateio_frame &frame) noexcept {
    std::memset(&frame, 0, sizeof frame);
    frame.overflow_count = -1;
}

Fault argument(const char *what) noexcept {
    Fault f = fault(FaultKind::argument);
    f.what = what;
    return f;
}

std::int32_t finish(plateio_frame &frame, const Fault &f) noexcept {
    if (f) {
        describe(f, frame.reason, sizeof frame.reason);
        frame.warnings = 0;
    }
    return result_code(f);
}

// Opens the file and tells its family from its first bytes, which the readers are handed again.
Fault open_classified(const char *path, Source &source, plateio_frame &frame) noexcept {
    if (path == nullptr) {
        return argument("path is NULL");
    }
    if (!path_fits(path)) {
        return fault(FaultKind::path_too_long, static_cast<std::int64_t>(std::strlen(path)));
    }
    if (Fault f = source.open(path)) {
        return f;
    }
    const auto head = source.peek();
    if (source.peek_error() != 0) {
        Fault f = fault(FaultKind::cannot_open);
        f.system_error = source.peek_error();
        return f;
    }
    return classify(head, source.size(), frame.family);
}

// A TRA file's head: its header values and row spans, into the frame.
Fault open_tra(Source &source, const char *path, plateio_frame &frame, tra::RowSpans &spans) noexcept {
    tra::Head head;
    if (Fault f = tra::read_head(source, head)) {
        return f;
    }
    if (Fault f = tra::expand_row_table(head, spans)) {
        return f;
    }
    const tra::HeaderValues values = tra::parse_header_values(
        std::span<const std::uint8_t, tra::kHeaderValueBytes>(head.data(), tra::kHeaderValueBytes));
    frame.width = tra::kGridSize;
    frame.height = tra::kGridSize;
    frame.overflow_threshold = kTraThreshold;
    tra::describe(frame.info, values, path);
    for (int i = 6; i < 9; ++i) {
        frame.info.geometry[i] = std::numeric_limits<double>::quiet_NaN();
    }
    return {};
}

// An X-Area file's container and header, into the frame, with the checks a look at the table of
// contents allows: the pixel count, and an entry long enough for it.
Fault open_xarea(Source &source, const char *path, plateio_frame &frame, xarea::Container &container,
                 xarea::Fields &fields, std::size_t &pixels, std::size_t table_limit) noexcept {
    xi_header record;
    if (Fault f = xarea::open_container(source, record, container, table_limit)) {
        return f;
    }
    fields = xarea::fields_of(record);
    frame.width = fields.width;
    frame.height = fields.height;
    frame.compressed = fields.coded() ? 1 : 0;
    frame.overflow_threshold = fields.overflow_threshold;
    xarea::describe(frame.info, fields, path);
    if (Fault f = xarea::image_pixels(fields, pixels)) {
        return f;
    }
    return xarea::check_entry_length(fields, pixels, container);
}

Fault check_capacity(std::size_t needed, std::size_t capacity, const void *array) noexcept {
    if (capacity < needed) {
        return fault(FaultKind::capacity, static_cast<std::int64_t>(needed),
                     static_cast<std::int64_t>(std::min<std::size_t>(capacity, INT64_MAX)));
    }
    if (array == nullptr && needed != 0) {
        return argument("the array is NULL");
    }
    return {};
}

void warn_counts(plateio_frame &frame, const xarea::Verdict &verdict, const xarea::Fields &fields) noexcept {
    frame.warnings |= PLATEIO_WARN_COUNTS;
    std::snprintf(frame.reason, sizeof frame.reason,
                  "the codes take %llu 32-bit and %llu 16-bit values, the header gives %d and %d",
                  static_cast<unsigned long long>(verdict.taken.values32),
                  static_cast<unsigned long long>(verdict.taken.values16), fields.delta32_count,
                  fields.delta16_count);
}

Fault probe(const char *path, plateio_frame &frame) noexcept {
    Source source;
    if (Fault f = open_classified(path, source, frame)) {
        return f;
    }
    if (frame.family == PLATEIO_FAMILY_TRA) {
        tra::RowSpans spans;
        return open_tra(source, path, frame, spans);
    }
    xarea::Container container;
    xarea::Fields fields;
    std::size_t pixels = 0;
    return open_xarea(source, path, frame, container, fields, pixels, kProbeTableBytes);
}

Fault read(const char *path, std::int32_t *out, std::size_t capacity, plateio_frame &frame,
           std::uint32_t flags) noexcept {
    if ((flags & ~PLATEIO_KEEP_SATURATED) != 0) {
        return argument("unknown flags");
    }
    Source source;
    if (Fault f = open_classified(path, source, frame)) {
        return f;
    }
    const Isa isa = best_isa();
    if (frame.family == PLATEIO_FAMILY_TRA) {
        tra::RowSpans spans;
        if (Fault f = open_tra(source, path, frame, spans)) {
            return f;
        }
        if (Fault f = check_capacity(tra::kGridPixels, capacity, out)) {
            return f;
        }
        const auto saturation =
            (flags & PLATEIO_KEEP_SATURATED) != 0 ? tra::Saturation::keep : tra::Saturation::mark;
        std::uint64_t saturated = 0;
        if (Fault f = tra::read_grid(source, spans, out, saturation, isa, saturated)) {
            return f;
        }
        frame.overflow_count = static_cast<std::int32_t>(saturated);
        return {};
    }
    xarea::Container container;
    xarea::Fields fields;
    std::size_t pixels = 0;
    if (Fault f = open_xarea(source, path, frame, container, fields, pixels, xarea::kWholeTable)) {
        return f;
    }
    if (Fault f = check_capacity(pixels, capacity, out)) {
        return f;
    }
    xarea::PixelRead result;
    if (Fault f = xarea::read_pixels(source, container, fields, pixels, out, isa, result)) {
        return f;
    }
    frame.overflow_count = static_cast<std::int32_t>(result.overflow_count);
    if (result.verdict.counts_disagree) {
        warn_counts(frame, result.verdict, fields);
    }
    return {};
}

Fault read_mask(const char *path, std::uint8_t *mask, std::size_t capacity, plateio_frame &frame) noexcept {
    Source source;
    if (Fault f = open_classified(path, source, frame)) {
        return f;
    }
    if (frame.family == PLATEIO_FAMILY_TRA) {
        tra::RowSpans spans;
        if (Fault f = open_tra(source, path, frame, spans)) {
            return f;
        }
        if (Fault f = check_capacity(tra::kGridPixels, capacity, mask)) {
            return f;
        }
        tra::mark_unrecorded(spans, mask);
        return {};
    }
    xarea::Container container;
    xarea::Fields fields;
    std::size_t pixels = 0;
    if (Fault f = open_xarea(source, path, frame, container, fields, pixels, xarea::kWholeTable)) {
        return f;
    }
    if (Fault f = check_capacity(pixels, capacity, mask)) {
        return f;
    }
    // An X-Area file records a value for every pixel.
    if (pixels != 0) {
        std::memset(mask, 0, pixels);
    }
    return {};
}

} // namespace

} // namespace plateio::host

using namespace plateio;

extern "C" {

PLATEIO_API const char *plateio_version(void) {
    return PLATEIO_STRINGIFY(PLATEIO_VERSION_MAJOR) "." PLATEIO_STRINGIFY(
        PLATEIO_VERSION_MINOR) "." PLATEIO_STRINGIFY(PLATEIO_VERSION_PATCH);
}

PLATEIO_API std::int32_t plateio_probe(const char *path, plateio_frame *frame) {
    if (frame == nullptr) {
        return PLATEIO_E_ARGUMENT;
    }
    host::reset(*frame);
    return host::finish(*frame, host::probe(path, *frame));
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t plateio_read(const char *path, std::int32_t *pixels,
                                                            size_t capacity, plateio_frame *frame,
                                                            std::uint32_t flags) {
    if (frame == nullptr) {
        return PLATEIO_E_ARGUMENT;
    }
    host::reset(*frame);
    return host::finish(*frame, host::read(path, pixels, capacity, *frame, flags));
}

PLATEIO_API std::int32_t plateio_read_mask(const char *path, std::uint8_t *mask, size_t capacity,
                                           plateio_frame *frame) {
    if (frame == nullptr) {
        return PLATEIO_E_ARGUMENT;
    }
    host::reset(*frame);
    return host::finish(*frame, host::read_mask(path, mask, capacity, *frame));
}

PLATEIO_API const char *plateio_strerror(std::int32_t code) {
    switch (code) {
    case PLATEIO_OK:
        return "success";
    case PLATEIO_E_ARGUMENT:
        return "invalid argument";
    case PLATEIO_E_OPEN:
        return "cannot open the file";
    case PLATEIO_E_FORMAT:
        return "not a TRA or X-Area file";
    case PLATEIO_E_NOT_CONTAINER:
        return "not an X-Area container";
    case PLATEIO_E_TOC:
        return "damaged table of contents";
    case PLATEIO_E_NO_HEADER:
        return "no image header entry";
    case PLATEIO_E_HEADER_SEEK:
        return "image header entry out of reach";
    case PLATEIO_E_NO_PIXELS:
        return "no pixel entry";
    case PLATEIO_E_PIXEL_SEEK:
        return "pixel entry out of reach";
    case PLATEIO_E_CORRUPT:
        return "entry outside the file";
    case PLATEIO_E_SHORT:
        return "file or pixel entry cut short";
    case PLATEIO_E_ROW_TABLE:
        return "TRA row wider than the grid";
    case PLATEIO_E_SIZE:
        return "image size impossible";
    case PLATEIO_E_NO_MEMORY:
        return "out of memory";
    case PLATEIO_E_CAPACITY:
        return "array too small for the image";
    case PLATEIO_E_PATH:
        return "path too long";
    default:
        return "unknown result code";
    }
}

} // extern "C"
