#include "xarea/import.hpp"

#include <algorithm>
#include <limits>

#include "common/file.hpp"
#include "xarea/decode.hpp"
#include "xarea/record.hpp"

namespace plateio::xarea {

namespace {

ImportStatus load_plain(Exposure &exposure, MarkedPixels &marked) noexcept {
    auto pixels = malloc_array<std::int32_t>(exposure.pixel_count);
    if (!pixels) {
        return ImportStatus::refused;
    }
    // The file's pixels are little-endian int32, as the host's are: they are read straight into the
    // host's array, a cache-sized chunk at a time, and each chunk is thresholded while it is warm.
    constexpr std::size_t kChunkPixels = std::size_t{64} * 1024;
    const std::int32_t threshold = exposure.header.overflow_threshold;
    if (!seek_pixel_entry(exposure.container)) {
        return ImportStatus::container_failed;
    }
    for (std::size_t at = 0; at < exposure.pixel_count; at += kChunkPixels) {
        const std::size_t count = std::min(kChunkPixels, exposure.pixel_count - at);
        if (!read_exact(exposure.container.file.get(), pixels.get() + at, count * sizeof(std::int32_t))) {
            print_container_failure(" readXImage(): corrupt file ");
            return ImportStatus::container_failed;
        }
        marked.overflow_count += mark_in_place(pixels.get() + at, count, threshold);
    }
    marked.pixels = std::move(pixels);
    return ImportStatus::ok;
}

ImportStatus load_coded(Exposure &exposure, MarkedPixels &marked) noexcept {
    const std::size_t length = exposure.container.pixel_length;
    auto block = malloc_array<std::uint8_t>(length);
    if (!block) {
        print_container_failure(" readXImage(): no memory ");
        return ImportStatus::container_failed;
    }
    if (!read_pixel_entry(exposure.container, block.get(), length)) {
        return ImportStatus::container_failed;
    }
    auto pixels = malloc_array<std::int32_t>(exposure.pixel_count);
    if (!pixels) {
        return ImportStatus::refused;
    }
    const xi_header &header = exposure.header;
    const CodedLayout layout =
        coded_layout({block.get(), length}, exposure.pixel_count, header.delta16_count, header.delta32_count);
    const MarkedDecode decoded =
        decode_marking(layout.sections, pixels.get(), exposure.pixel_count, header.overflow_threshold);
    if (counts_disagree(decoded.taken, header)) {
        report_corrupt_stream(decoded.taken, header);
    }
    marked.overflow_count = decoded.overflow_count;
    marked.pixels = std::move(pixels);
    return ImportStatus::ok;
}

} // namespace

ImportStatus open_exposure(const char *path, Exposure &exposure) noexcept {
    if (!open_file(path, "r")) {
        return ImportStatus::refused;
    }
    exposure.container = open_container(path, exposure.header);
    if (!exposure.container.ok) {
        return ImportStatus::container_failed;
    }
    const xi_header &header = exposure.header;
    const auto pixel_count = image_elements(header.width, header.height, sizeof(std::int32_t));
    if (!pixel_count || *pixel_count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return ImportStatus::refused;
    }
    exposure.pixel_count = *pixel_count;
    exposure.coded = header.compression == kDifferenceCoded;
    const std::uint64_t needed =
        exposure.coded ? coded_block_bytes(exposure.pixel_count, header.delta16_count, header.delta32_count)
                       : std::uint64_t{exposure.pixel_count} * sizeof(std::int32_t);
    if (needed > exposure.container.pixel_length) {
        return ImportStatus::refused;
    }
    return ImportStatus::ok;
}

ImportStatus load_marked_pixels(Exposure &exposure, MarkedPixels &marked) noexcept {
    return exposure.coded ? load_coded(exposure, marked) : load_plain(exposure, marked);
}

ImportStatus check_pixel_entry(Exposure &exposure) noexcept {
    OpenContainer &container = exposure.container;
    // Inside a regular file the entry is known to be there whole; through a pipe or a device it has
    // to be read to be known.
    const std::size_t to_read = !container.size_known ? container.pixel_length
                                : exposure.coded      ? exposure.pixel_count
                                                      : 0;
    // An image of no pixels has no codes to read, yet counts that are not 0 still disagree with them.
    Taken taken;
    if (to_read != 0) {
        std::size_t position = 0;
        bool no_memory = false;
        const std::size_t codes = exposure.coded ? exposure.pixel_count : 0;
        const bool read = stream_pixel_entry(
            container, to_read,
            [&](const std::uint8_t *bytes, std::size_t size) {
                if (position < codes) {
                    const std::size_t take = std::min(size, codes - position);
                    const Taken part = count_escapes({bytes, take});
                    taken.values16 += part.values16;
                    taken.values32 += part.values32;
                }
                position += size;
            },
            no_memory);
        if (!read) {
            return no_memory ? ImportStatus::refused : ImportStatus::container_failed;
        }
    }
    if (exposure.coded && counts_disagree(taken, exposure.header)) {
        report_corrupt_stream(taken, exposure.header);
    }
    return ImportStatus::ok;
}

} // namespace plateio::xarea
