// The quiet functions: either family by content (the X-Area magic, else the TRA structure), from a
// path or from the host's bytes in memory, into the host's own arrays, every fault a code and a
// one-line reason, nothing printed.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "api/messages.hpp"
#include "common/fault.hpp"
#include "common/file.hpp"
#include "common/isa.hpp"
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

namespace plateio::api {

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
        frame.system_error = f.system_error;
    }
    return result_code(f);
}

// What a quiet function reads: the file at `path`, or the host's `length` bytes at `bytes`.
struct Input {
    const char *path = nullptr;
    const void *bytes = nullptr;
    std::size_t length = 0;
    bool in_memory = false;

    // The path the frame shows: none for bytes in memory.
    const char *shown_path() const noexcept { return in_memory ? "" : path; }
};

Input from_path(const char *path) noexcept {
    return {path, nullptr, 0, false};
}

Input from_memory(const void *bytes, std::size_t length) noexcept {
    return {nullptr, bytes, length, true};
}

Fault open_input(const Input &input, Source &source) noexcept {
    if (input.in_memory) {
        if (input.bytes == nullptr && input.length != 0) {
            return argument("the bytes are NULL");
        }
        // Above INT64_MAX (only where size_t is 64 bits): no file is that long.
        if ((static_cast<std::uint64_t>(input.length) >> 63) != 0) {
            return argument("the length is larger than any file");
        }
        source.open_memory(input.bytes, input.length);
        return {};
    }
    if (input.path == nullptr) {
        return argument("path is NULL");
    }
    if (!host::path_fits(input.path)) {
        return fault(FaultKind::path_too_long, static_cast<std::int64_t>(std::strlen(input.path)));
    }
    return source.open(input.path);
}

// Opens the input and tells its family from its first bytes, which the readers are handed again; of
// a TRA file the row spans are taken from the same look.
Fault open_classified(const Input &input, Source &source, plateio_frame &frame,
                      tra::RowSpans &spans) noexcept {
    if (Fault f = open_input(input, source)) {
        return f;
    }
    const auto head = source.peek();
    if (source.peek_error() != 0) {
        Fault f = fault(FaultKind::cannot_open);
        f.system_error = source.peek_error();
        return f;
    }
    if (xarea::has_magic(head)) {
        frame.family = PLATEIO_FAMILY_XAREA;
        return {};
    }
    if (Fault f = tra::recognise(head, source.size(), spans)) {
        return f;
    }
    frame.family = PLATEIO_FAMILY_TRA;
    return {};
}

// A TRA file's head, whose row spans detection took: its header values and the spans into the frame.
Fault open_tra(Source &source, const char *path, plateio_frame &frame, const tra::RowSpans &spans) noexcept {
    tra::Head head;
    if (Fault f = tra::read_head(source, head)) {
        return f;
    }
    const tra::HeaderValues values = tra::parse_header_values(
        std::span<const std::uint8_t, tra::kHeaderValueBytes>(head.data(), tra::kHeaderValueBytes));
    frame.width = tra::kGridSize;
    frame.height = tra::kGridSize;
    frame.overflow_threshold = kTraThreshold;
    frame.pixel_bytes = static_cast<std::int64_t>(2 * spans.stream_count);
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
    frame.pixel_bytes = container.pixels.length;
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
                     static_cast<std::int64_t>(std::min<std::uint64_t>(capacity, INT64_MAX)));
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

// A file opened, its family told and its description in the frame: what every quiet function starts
// with. For TRA, `spans`; for X-Area, the container, the header's fields; for both, the pixel count.
struct Described {
    Source source;
    tra::RowSpans spans;
    xarea::Container container;
    xarea::Fields fields;
    std::size_t pixels = 0;
};

Fault describe_file(const Input &input, plateio_frame &frame, Described &file,
                    std::size_t table_limit) noexcept {
    if (Fault f = open_classified(input, file.source, frame, file.spans)) {
        return f;
    }
    const char *path = input.shown_path();
    if (frame.family == PLATEIO_FAMILY_TRA) {
        file.pixels = tra::kGridPixels;
        return open_tra(file.source, path, frame, file.spans);
    }
    return open_xarea(file.source, path, frame, file.container, file.fields, file.pixels, table_limit);
}

Fault probe(const char *path, plateio_frame &frame) noexcept {
    Described file;
    return describe_file(from_path(path), frame, file, kProbeTableBytes);
}

Fault read(const Input &input, std::int32_t *out, std::size_t capacity, plateio_frame &frame,
           std::uint32_t flags) noexcept {
    if ((flags & ~PLATEIO_KEEP_SATURATED) != 0) {
        return argument("unknown flags");
    }
    Described file;
    if (Fault f = describe_file(input, frame, file, xarea::kWholeTable)) {
        return f;
    }
    if (Fault f = check_capacity(file.pixels, capacity, out)) {
        return f;
    }
    const Isa isa = best_isa();
    if (frame.family == PLATEIO_FAMILY_TRA) {
        const auto saturation =
            (flags & PLATEIO_KEEP_SATURATED) != 0 ? tra::Saturation::keep : tra::Saturation::mark;
        std::uint64_t saturated = 0;
        if (Fault f = tra::read_grid(file.source, file.spans, out, saturation, isa, saturated)) {
            return f;
        }
        frame.overflow_count = static_cast<std::int32_t>(saturated);
        return {};
    }
    xarea::PixelRead result;
    if (Fault f =
            xarea::read_pixels(file.source, file.container, file.fields, file.pixels, out, isa, result)) {
        return f;
    }
    frame.overflow_count = static_cast<std::int32_t>(result.overflow_count);
    if (result.verdict.counts_disagree) {
        warn_counts(frame, result.verdict, file.fields);
    }
    return {};
}

Fault read_mask(const Input &input, std::uint8_t *mask, std::size_t capacity, plateio_frame &frame) noexcept {
    Described file;
    if (Fault f = describe_file(input, frame, file, xarea::kWholeTable)) {
        return f;
    }
    if (Fault f = check_capacity(file.pixels, capacity, mask)) {
        return f;
    }
    if (frame.family == PLATEIO_FAMILY_TRA) {
        tra::mark_unrecorded(file.spans, mask);
    } else if (file.pixels != 0) {
        // An X-Area file records a value for every pixel.
        std::memset(mask, 0, file.pixels);
    }
    return {};
}

} // namespace

} // namespace plateio::api

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
    api::reset(*frame);
    return api::finish(*frame, api::probe(path, *frame));
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t plateio_read(const char *path, std::int32_t *pixels,
                                                            size_t capacity, plateio_frame *frame,
                                                            std::uint32_t flags) {
    if (frame == nullptr) {
        return PLATEIO_E_ARGUMENT;
    }
    api::reset(*frame);
    return api::finish(*frame, api::read(api::from_path(path), pixels, capacity, *frame, flags));
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY std::int32_t plateio_read_memory(const void *bytes, size_t length,
                                                                   std::int32_t *pixels, size_t capacity,
                                                                   plateio_frame *frame,
                                                                   std::uint32_t flags) {
    if (frame == nullptr) {
        return PLATEIO_E_ARGUMENT;
    }
    api::reset(*frame);
    return api::finish(*frame, api::read(api::from_memory(bytes, length), pixels, capacity, *frame, flags));
}

PLATEIO_API std::int32_t plateio_read_mask(const char *path, std::uint8_t *mask, size_t capacity,
                                           plateio_frame *frame) {
    if (frame == nullptr) {
        return PLATEIO_E_ARGUMENT;
    }
    api::reset(*frame);
    return api::finish(*frame, api::read_mask(api::from_path(path), mask, capacity, *frame));
}

PLATEIO_API std::int32_t plateio_read_mask_memory(const void *bytes, size_t length, std::uint8_t *mask,
                                                  size_t capacity, plateio_frame *frame) {
    if (frame == nullptr) {
        return PLATEIO_E_ARGUMENT;
    }
    api::reset(*frame);
    return api::finish(*frame, api::read_mask(api::from_memory(bytes, length), mask, capacity, *frame));
}

PLATEIO_API const char *plateio_strerror(std::int32_t code) {
    return api::code_name(code);
}

} // extern "C"
