#include "xarea/decode.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/cpu.hpp"
#include "xarea/decode_kernel.hpp"

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

DecodeCodesFn codes_function(DecodePath path) noexcept {
#if defined(__i386__) || defined(__x86_64__)
    switch (path) {
    case DecodePath::avx2:
        return decode_codes_avx2;
    case DecodePath::scalar:
        break;
    }
#else
    (void)path;
#endif
    return decode_codes_scalar;
}

template <bool Mark>
void fill_missing(std::int32_t *out, std::size_t begin, std::size_t end, DecodeState &state,
                  std::int32_t threshold) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        store_pixel<Mark>(out, i, state.running, threshold, state);
    }
}

} // namespace

void decode_codes_scalar(const CodedSections &sections, std::int32_t *out, std::size_t count,
                         DecodeState &state, const std::int32_t *threshold) noexcept {
    if (threshold != nullptr) {
        decode_scalar_range<true>(sections, out, 0, count, state, *threshold);
    } else {
        decode_scalar_range<false>(sections, out, 0, count, state, 0);
    }
}

bool path_supported(DecodePath path) noexcept {
    switch (path) {
    case DecodePath::scalar:
        return true;
    case DecodePath::avx2:
        return cpu_has_avx2();
    }
    return false;
}

DecodePath best_decode_path() noexcept {
    return path_supported(DecodePath::avx2) ? DecodePath::avx2 : DecodePath::scalar;
}

MarkedDecode decode_on(DecodePath path, const CodedSections &sections, std::int32_t *out,
                       std::size_t pixel_count, const std::int32_t *threshold) noexcept {
    DecodeState state;
    const std::size_t coded = std::min(pixel_count, sections.codes.size());
    codes_function(path)(sections, out, coded, state, threshold);
    // Pixels whose codes the block lacks repeat the last pixel: their difference is 0.
    if (threshold != nullptr) {
        fill_missing<true>(out, coded, pixel_count, state, *threshold);
    } else {
        fill_missing<false>(out, coded, pixel_count, state, 0);
    }
    return {Taken{state.next16, state.next32}, state.overflow};
}

CodedLayout coded_layout(std::span<const std::uint8_t> block, std::size_t pixel_count,
                         std::int32_t delta16_count, std::int32_t delta32_count) noexcept {
    const std::uint64_t codes_bytes = pixel_count;
    const std::uint64_t bytes16 = section_bytes(delta16_count, 2);
    const std::uint64_t bytes32 = section_bytes(delta32_count, 4);
    CodedLayout layout;
    layout.sections.codes = cut(block, 0, codes_bytes);
    layout.sections.values16 = cut(block, codes_bytes, bytes16);
    layout.sections.values32 = cut(block, codes_bytes + bytes16, bytes32);
    layout.complete = coded_block_bytes(pixel_count, delta16_count, delta32_count) <= block.size();
    return layout;
}

std::uint64_t coded_block_bytes(std::size_t pixel_count, std::int32_t delta16_count,
                                std::int32_t delta32_count) noexcept {
    return std::uint64_t{pixel_count} + section_bytes(delta16_count, 2) + section_bytes(delta32_count, 4);
}

Taken decode(const CodedSections &sections, std::int32_t *out, std::size_t pixel_count) noexcept {
    return decode_on(best_decode_path(), sections, out, pixel_count, nullptr).taken;
}

MarkedDecode decode_marking(const CodedSections &sections, std::int32_t *out, std::size_t pixel_count,
                            std::int32_t threshold) noexcept {
    return decode_on(best_decode_path(), sections, out, pixel_count, &threshold);
}

std::uint64_t mark_in_place_scalar(std::int32_t *pixels, std::size_t count, std::int32_t threshold) noexcept {
    std::uint64_t overflow = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t pixel = pixels[i];
        const bool over = pixel > threshold;
        overflow += over ? 1 : 0;
        pixels[i] = over ? PIXEL_OVERFLOW : pixel;
    }
    return overflow;
}

std::uint64_t mark_in_place(std::int32_t *pixels, std::size_t count, std::int32_t threshold) noexcept {
#if defined(__i386__) || defined(__x86_64__)
    if (path_supported(DecodePath::avx2)) {
        return mark_in_place_avx2(pixels, count, threshold);
    }
#endif
    return mark_in_place_scalar(pixels, count, threshold);
}

Taken count_escapes_scalar(std::span<const std::uint8_t> codes) noexcept {
    // Eight codes at a time: a byte of x ^ pattern is zero exactly where the code equals the
    // pattern's byte, and the classic zero-byte test sets the top bit of each such byte.
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    const auto matches = [](std::uint64_t x) noexcept {
        const std::uint64_t t = ~(((x & kLow7) + kLow7) | x | kLow7);
        // One bit a byte at most: the multiply sums the eight bytes into the top one.
        return ((t >> 7) * 0x0101010101010101ull) >> 56;
    };
    Taken taken;
    std::size_t i = 0;
    for (; i + 8 <= codes.size(); i += 8) {
        const auto word = load_le<std::uint64_t>(codes.data() + i);
        taken.values16 += matches(word ^ 0xfefefefefefefefeull);
        taken.values32 += matches(word ^ 0xffffffffffffffffull);
    }
    for (; i < codes.size(); ++i) {
        taken.values16 += codes[i] == 254 ? 1 : 0;
        taken.values32 += codes[i] == 255 ? 1 : 0;
    }
    return taken;
}

Taken count_escapes(std::span<const std::uint8_t> codes) noexcept {
#if defined(__i386__) || defined(__x86_64__)
    if (path_supported(DecodePath::avx2)) {
        return count_escapes_avx2(codes);
    }
#endif
    return count_escapes_scalar(codes);
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
