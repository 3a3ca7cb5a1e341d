#include "xarea/decode.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/bytes.hpp"

namespace plateio::xarea {

namespace {

std::uint64_t section_bytes(std::int32_t count, std::uint64_t value_size) noexcept {
    return count > 0 ? static_cast<std::uint64_t>(count) * value_size : 0;
}

std::span<const std::uint8_t> cut(std::span<const std::uint8_t> block, std::uint64_t offset,
                                  std::uint64_t size) noexcept {
    if (offset >= block.size()) {
        return {};
    }
    const auto available = block.size() - static_cast<std::size_t>(offset);
    return block.subspan(static_cast<std::size_t>(offset),
                         static_cast<std::size_t>(std::min<std::uint64_t>(size, available)));
}

// The one scalar decoding loop; `store` decides what becomes of each decoded pixel.
template <class Store>
Taken decode_with(const CodedSections &sections, std::size_t pixel_count, Store &&store) noexcept {
    const std::uint8_t *codes = sections.codes.data();
    const std::size_t coded = std::min(pixel_count, sections.codes.size());
    const std::size_t available16 = sections.values16.size() / 2;
    const std::size_t available32 = sections.values32.size() / 4;
    std::size_t next16 = 0;
    std::size_t next32 = 0;
    std::uint32_t running = 0; // unsigned: the sum wraps modulo 2^32
    for (std::size_t i = 0; i < coded; ++i) {
        const std::uint8_t code = codes[i];
        if (code < 254) {
            running += static_cast<std::uint32_t>(code) - 127u;
        } else if (code == 254) {
            if (next16 < available16) {
                running += static_cast<std::uint32_t>(
                    static_cast<std::int32_t>(load_le<std::int16_t>(sections.values16.data() + 2 * next16)));
            }
            ++next16;
        } else {
            if (next32 < available32) {
                running += load_le<std::uint32_t>(sections.values32.data() + 4 * next32);
            }
            ++next32;
        }
        store(i, static_cast<std::int32_t>(running));
    }
    for (std::size_t i = coded; i < pixel_count; ++i) {
        store(i, static_cast<std::int32_t>(running));
    }
    return {next16, next32};
}

} // namespace

CodedLayout coded_layout(std::span<const std::uint8_t> block, std::size_t pixel_count,
                         std::int32_t delta16_count, std::int32_t delta32_count) noexcept {
    const std::uint64_t codes_bytes = pixel_count;
    const std::uint64_t bytes16 = section_bytes(delta16_count, 2);
    const std::uint64_t bytes32 = section_bytes(delta32_count, 4);
    CodedLayout layout;
    layout.sections.codes = cut(block, 0, codes_bytes);
    layout.sections.values16 = cut(block, codes_bytes, bytes16);
    layout.sections.values32 = cut(block, codes_bytes + bytes16, bytes32);
    layout.complete = codes_bytes + bytes16 + bytes32 <= block.size();
    return layout;
}

Taken decode(const CodedSections &sections, std::int32_t *out, std::size_t pixel_count) noexcept {
    return decode_with(sections, pixel_count, [out](std::size_t i, std::int32_t pixel) { out[i] = pixel; });
}

MarkedDecode decode_marking(const CodedSections &sections, std::int32_t *out, std::size_t pixel_count,
                            std::int32_t threshold) noexcept {
    std::uint64_t overflow = 0;
    const Taken taken = decode_with(sections, pixel_count, [&](std::size_t i, std::int32_t pixel) {
        const bool over = pixel > threshold;
        overflow += over ? 1 : 0;
        out[i] = over ? PIXEL_OVERFLOW : pixel;
    });
    return {taken, overflow};
}

Taken count_escapes(std::span<const std::uint8_t> codes) noexcept {
    Taken taken;
    for (const std::uint8_t code : codes) {
        taken.values16 += code == 254 ? 1 : 0;
        taken.values32 += code == 255 ? 1 : 0;
    }
    return taken;
}

bool counts_disagree(const Taken &taken, const xi_header &header) noexcept {
    return taken.values16 != static_cast<std::uint64_t>(std::int64_t{header.delta16_count}) ||
           taken.values32 != static_cast<std::uint64_t>(std::int64_t{header.delta32_count});
}

void report_corrupt_stream(const Taken &taken, const xi_header &header) noexcept {
    std::printf("%" PRIu64 " %d %" PRIu64 " %d\n", taken.values32, header.delta32_count, taken.values16,
                header.delta16_count);
    std::fputs(" uncompressImage(): corrupt imagedata ", stdout);
}

} // namespace plateio::xarea
