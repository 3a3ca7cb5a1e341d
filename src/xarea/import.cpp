#include "xarea/import.hpp"

#include <algorithm>
#include <limits>

#include "common/bytes.hpp"
#include "common/memory.hpp"
#include "host/image_info.hpp"

namespace plateio::xarea {

namespace {

Fault read_plain(Source &source, const Container &container, std::size_t pixels, std::int32_t *out,
                 std::int32_t threshold, Isa isa, PixelRead &result) noexcept {
    // The file's pixels are little-endian int32: they are read straight into the host's array, a
    // cache-sized chunk at a time, and each chunk is put in host order and thresholded while it is warm.
    constexpr std::size_t kChunkPixels = std::size_t{64} * 1024;
    if (Fault f = seek_pixel_entry(source, container)) {
        return f;
    }
    for (std::size_t at = 0; at < pixels; at += kChunkPixels) {
        const std::size_t count = std::min(kChunkPixels, pixels - at);
        if (Fault f = read_pixel_bytes(source, container, out + at, count * sizeof(std::int32_t))) {
            return f;
        }
        int32_from_le(out + at, count);
        result.overflow_count += mark_in_place(isa, out + at, count, threshold);
    }
    return {};
}

Fault values_short(const Verdict &verdict, const EntryLayout &layout) noexcept {
    const bool short16 = std::min(verdict.taken.values16, layout.section16) > layout.held16;
    Fault f = short16 ? fault(FaultKind::values_short, static_cast<std::int64_t>(verdict.taken.values16),
                              static_cast<std::int64_t>(layout.held16))
                      : fault(FaultKind::values_short, static_cast<std::int64_t>(verdict.taken.values32),
                              static_cast<std::int64_t>(layout.held32));
    f.what = short16 ? "16-bit" : "32-bit";
    return f;
}

Fault read_coded(Source &source, const Container &container, const Fields &fields, std::size_t pixels,
                 std::int32_t *out, Isa isa, PixelRead &result) noexcept {
    const auto length = static_cast<std::uint64_t>(container.pixels.length);
    const EntryLayout layout = entry_layout(pixels, length, fields.delta16_count, fields.delta32_count);
    // The value sections are read whole (an escape may take its value from anywhere in them); the
    // codes then stream past them.
    const auto value_bytes = static_cast<std::size_t>(layout.value_bytes);
    auto values = malloc_array<std::uint8_t>(value_bytes);
    if (!values) {
        return fault(FaultKind::block_no_memory, static_cast<std::int64_t>(value_bytes));
    }
    if (value_bytes != 0) {
        if (Fault f = seek_pixel_entry(source, container, pixels)) {
            return f;
        }
        if (Fault f = read_pixel_bytes(source, container, values.get(), value_bytes)) {
            return f;
        }
    }
    CodedSections sections = value_sections({values.get(), value_bytes}, layout);
    if (Fault f = seek_pixel_entry(source, container)) {
        return f;
    }
    DecodeState state;
    std::size_t done = 0;
    const std::int32_t threshold = fields.overflow_threshold;
    if (Fault f =
            stream_pixel_bytes(source, container, pixels, [&](const std::uint8_t *codes, std::size_t count) {
                sections.codes = {codes, count};
                decode_codes(isa, sections, out + done, count, state, &threshold);
                done += count;
            })) {
        return f;
    }
    result.overflow_count = state.overflow;
    result.verdict = judge(state.taken(), layout, fields.delta16_count, fields.delta32_count);
    if (result.verdict.values_missing) {
        return values_short(result.verdict, layout);
    }
    return {};
}

} // namespace

void describe(image_info &info, const Fields &fields, const char *path) noexcept {
    host::store_path(info, path);
    info.geometry[0] = fields.geometry0;
    info.geometry[1] = fields.geometry1;
    info.geometry[2] = fields.geometry2;
    info.geometry[3] = fields.geometry3;
    info.geometry[4] = fields.geometry4;
    info.geometry[5] = fields.geometry5;
    info.geometry[6] = fields.geometry6;
    info.geometry[7] = fields.geometry7;
    info.geometry[8] = fields.geometry8;
    info.setting = fields.setting;
    info.overflow_threshold = fields.overflow_threshold;
    info.scale_value = fields.scale_value;
    info.overload_count = fields.overload_count;
}

Fault image_pixels(const Fields &fields, std::size_t &pixels) noexcept {
    const auto count = image_elements(fields.width, fields.height, sizeof(std::int32_t));
    if (!count || *count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return fault(FaultKind::image_size, fields.width, fields.height);
    }
    pixels = *count;
    return {};
}

Fault check_entry_length(const Fields &fields, std::size_t pixels, const Container &container) noexcept {
    const auto length = static_cast<std::uint64_t>(container.pixels.length);
    if (fields.coded()) {
        if (length < pixels) {
            return fault(FaultKind::codes_short, static_cast<std::int64_t>(pixels), container.pixels.length);
        }
    } else if (length / sizeof(std::int32_t) < pixels) {
        return fault(FaultKind::plain_short, static_cast<std::int64_t>(pixels * sizeof(std::int32_t)),
                     container.pixels.length);
    }
    return {};
}

Fault read_pixels(Source &source, const Container &container, const Fields &fields, std::size_t pixels,
                  std::int32_t *out, Isa isa, PixelRead &result) noexcept {
    result = {};
    if (Fault f = check_entry_length(fields, pixels, container)) {
        return f;
    }
    return fields.coded()
               ? read_coded(source, container, fields, pixels, out, isa, result)
               : read_plain(source, container, pixels, out, fields.overflow_threshold, isa, result);
}

Fault check_pixel_entry(Source &source, const Container &container, const Fields &fields, Isa isa,
                        EntryReport &report) noexcept {
    report = {};
    const auto length = static_cast<std::size_t>(container.pixels.length);
    const auto pixels = image_elements(fields.width, fields.height, sizeof(std::int32_t));
    report.no_memory = fields.coded() && !pixels;
    const EntryLayout layout = fields.coded() && pixels
                                   ? entry_layout(*pixels, length, fields.delta16_count, fields.delta32_count)
                                   : EntryLayout{};
    // Inside a regular file the entry is known to be there whole, and only the codes are read; through
    // a pipe or a device all of it is.
    const std::size_t to_read = !source.size_known() ? length : layout.codes;
    Taken taken;
    if (to_read != 0) {
        if (Fault f = seek_pixel_entry(source, container)) {
            return f;
        }
        std::size_t position = 0;
        if (Fault f = stream_pixel_bytes(
                source, container, to_read, [&](const std::uint8_t *bytes, std::size_t size) {
                    if (position < layout.codes) {
                        const Taken part =
                            count_escapes(isa, {bytes, std::min(size, layout.codes - position)});
                        taken.values16 += part.values16;
                        taken.values32 += part.values32;
                    }
                    position += size;
                })) {
            return f;
        }
    } else if (!source.size_known()) {
        // An empty entry is read all the same, as readXImage would: its seek must succeed.
        if (Fault f = seek_pixel_entry(source, container)) {
            return f;
        }
    }
    if (fields.coded() && pixels) {
        report.verdict = judge(taken, layout, fields.delta16_count, fields.delta32_count);
    }
    return {};
}

} // namespace plateio::xarea
