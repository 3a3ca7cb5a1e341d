#include "xarea/import.hpp"

#include <limits>

#include "common/bytes.hpp"
#include "common/file.hpp"
#include "xarea/container.hpp"
#include "xarea/record.hpp"

namespace plateio::xarea {

namespace {

std::uint64_t mark_plain(const std::uint8_t *block, std::int32_t *out, std::size_t count,
                         std::int32_t threshold) noexcept {
    std::uint64_t overflow = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto pixel = load_le<std::int32_t>(block + 4 * i);
        const bool over = pixel > threshold;
        overflow += over ? 1 : 0;
        out[i] = over ? PIXEL_OVERFLOW : pixel;
    }
    return overflow;
}

} // namespace

OpenStatus open_exposure(const char *path, Exposure &exposure) noexcept {
    if (!open_file(path, "r")) {
        return OpenStatus::refused;
    }
    ContainerRead read = read_container(path, exposure.header);
    if (!read.ok) {
        return OpenStatus::container_failed;
    }
    const xi_header &header = exposure.header;
    const auto pixel_count = image_elements(header.width, header.height, sizeof(std::int32_t));
    if (!pixel_count || *pixel_count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return OpenStatus::refused;
    }
    exposure.pixel_count = *pixel_count;
    exposure.coded = header.compression == kDifferenceCoded;
    const std::span<const std::uint8_t> block(read.block.get(), read.length);
    if (exposure.coded) {
        const CodedLayout layout =
            coded_layout(block, exposure.pixel_count, header.delta16_count, header.delta32_count);
        if (!layout.complete) {
            return OpenStatus::refused;
        }
        exposure.sections = layout.sections;
    } else if (read.length / sizeof(std::int32_t) < exposure.pixel_count) {
        return OpenStatus::refused;
    }
    exposure.block = std::move(read.block);
    exposure.length = read.length;
    return OpenStatus::ok;
}

std::optional<MarkedPixels> load_marked_pixels(const Exposure &exposure) noexcept {
    MarkedPixels result;
    result.pixels = malloc_array<std::int32_t>(exposure.pixel_count);
    if (!result.pixels) {
        return std::nullopt;
    }
    const std::int32_t threshold = exposure.header.overflow_threshold;
    if (exposure.coded) {
        const MarkedDecode decoded =
            decode_marking(exposure.sections, result.pixels.get(), exposure.pixel_count, threshold);
        if (counts_disagree(decoded.taken, exposure.header)) {
            report_corrupt_stream(decoded.taken, exposure.header);
        }
        result.overflow_count = decoded.overflow_count;
    } else {
        result.overflow_count =
            mark_plain(exposure.block.get(), result.pixels.get(), exposure.pixel_count, threshold);
    }
    return result;
}

void report_counts(const Exposure &exposure) noexcept {
    if (!exposure.coded) {
        return;
    }
    const Taken taken = count_escapes(exposure.sections.codes);
    if (counts_disagree(taken, exposure.header)) {
        report_corrupt_stream(taken, exposure.header);
    }
}

} // namespace plateio::xarea
