#include "xarea/decode.hpp"

#include <algorithm>

#include "xarea/decode_kernel.hpp"

namespace plateio::xarea {

EntryLayout entry_layout(std::size_t pixels, std::uint64_t length, std::int32_t delta16_count,
                         std::int32_t delta32_count) noexcept {
    EntryLayout layout;
    layout.pixels = pixels;
    layout.codes = static_cast<std::size_t>(std::min<std::uint64_t>(pixels, length));
    layout.section16 = delta16_count > 0 ? static_cast<std::uint64_t>(delta16_count) : 0;
    layout.section32 = delta32_count > 0 ? static_cast<std::uint64_t>(delta32_count) : 0;
    layout.offset32 = std::uint64_t{pixels} + 2 * layout.section16;
    const std::uint64_t end = layout.offset32 + 4 * layout.section32;
    const std::uint64_t held_end = std::min(length, end);
    // Whole values only: a value the entry ends inside of is not held.
    layout.held16 = held_end > pixels ? (std::min(held_end, layout.offset32) - pixels) / 2 : 0;
    layout.held32 = held_end > layout.offset32 ? (held_end - layout.offset32) / 4 : 0;
    layout.value_bytes = held_end > pixels ? held_end - pixels : 0;
    return layout;
}

CodedSections value_sections(std::span<const std::uint8_t> values, const EntryLayout &layout) noexcept {
    const auto cut = [values](std::uint64_t offset, std::uint64_t size) -> std::span<const std::uint8_t> {
        if (offset >= values.size()) {
            return {};
        }
        return values.subspan(
            static_cast<std::size_t>(offset),
            static_cast<std::size_t>(std::min<std::uint64_t>(size, values.size() - offset)));
    };
    CodedSections sections;
    sections.values16 = cut(0, 2 * layout.held16);
    sections.values32 = cut(layout.offset32 - layout.pixels, 4 * layout.held32);
    return sections;
}

void decode_codes_portable(const CodedSections &sections, std::int32_t *out, std::size_t count,
                           DecodeState &state, const std::int32_t *threshold) noexcept {
    if (threshold != nullptr) {
        decode_portable_range<true>(sections, out, 0, count, state, *threshold);
    } else {
        decode_portable_range<false>(sections, out, 0, count, state, 0);
    }
}

std::uint64_t mark_in_place_portable(std::int32_t *pixels, std::size_t count,
                                     std::int32_t threshold) noexcept {
    std::uint64_t overflow = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t pixel = pixels[i];
        const bool over = pixel > threshold;
        overflow += over ? 1 : 0;
        pixels[i] = over ? PIXEL_OVERFLOW : pixel;
    }
    return overflow;
}

Taken count_escapes_portable(std::span<const std::uint8_t> codes) noexcept {
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

void decode_codes(Isa isa, const CodedSections &sections, std::int32_t *out, std::size_t count,
                  DecodeState &state, const std::int32_t *threshold) noexcept {
    switch (isa) {
#if PLATEIO_HAVE_AVX2
    case Isa::avx2:
        return decode_codes_avx2(sections, out, count, state, threshold);
#endif
    default:
        return decode_codes_portable(sections, out, count, state, threshold);
    }
}

Taken count_escapes(Isa isa, std::span<const std::uint8_t> codes) noexcept {
    switch (isa) {
#if PLATEIO_HAVE_AVX2
    case Isa::avx2:
        return count_escapes_avx2(codes);
#endif
    default:
        return count_escapes_portable(codes);
    }
}

std::uint64_t mark_in_place(Isa isa, std::int32_t *pixels, std::size_t count,
                            std::int32_t threshold) noexcept {
    switch (isa) {
#if PLATEIO_HAVE_AVX2
    case Isa::avx2:
        return mark_in_place_avx2(pixels, count, threshold);
#endif
    default:
        return mark_in_place_portable(pixels, count, threshold);
    }
}

Verdict judge(const Taken &taken, const EntryLayout &layout, std::int32_t delta16_count,
              std::int32_t delta32_count) noexcept {
    Verdict verdict;
    verdict.taken = taken;
    verdict.codes_missing = layout.codes < layout.pixels;
    // A code whose value lies beyond its section is a count mismatch; one whose value lies inside its
    // section but beyond the entry's end means the entry was cut short.
    verdict.values_missing = std::min(taken.values16, layout.section16) > layout.held16 ||
                             std::min(taken.values32, layout.section32) > layout.held32;
    verdict.counts_disagree = taken.values16 != static_cast<std::uint64_t>(std::int64_t{delta16_count}) ||
                              taken.values32 != static_cast<std::uint64_t>(std::int64_t{delta32_count});
    return verdict;
}

} // namespace plateio::xarea
