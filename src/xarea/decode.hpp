// The difference code of X-Area pixel blocks.
//
// A coded block of n pixels has three packed sections, without alignment:
//   codes     n bytes, one per pixel in row order
//   values16  delta16_count little-endian int16
//   values32  delta32_count little-endian int32 (at an odd byte when n is odd)
// Each code adds a difference to a running 32-bit sum that starts at 0 and wraps: c in 0..253 adds
// c - 127, 254 adds the next 16-bit value (sign-extended), 255 the next 32-bit value. A code never
// sets a pixel outright. Because every code is one pixel and the k-th 254 (or 255) takes the k-th
// side value, the side-array index of an escape is simply the count of escapes before it.
//
// An entry may end early. Then the codes it lacks give no pixel (an array the decoder fills holds 0
// there), and a code whose value lies past the entry's end, or past its section, adds 0 and is
// counted all the same. Such an entry is corrupt, whatever the header's counts say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/isa.hpp"

namespace plateio::xarea {

struct CodedSections {
    std::span<const std::uint8_t> codes;    // the codes to decode (all, or a stretch of them)
    std::span<const std::uint8_t> values16; // 2 bytes a value, as far as the entry holds them
    std::span<const std::uint8_t> values32; // 4 bytes a value, as far as the entry holds them
};

// Where the sections of a coded entry of `length` bytes lie, for n pixels and the header's counts
// (a negative count defines an empty section), and how much of each the entry holds.
struct EntryLayout {
    std::size_t pixels = 0;      // n
    std::size_t codes = 0;       // codes the entry holds: min(n, length)
    std::uint64_t section16 = 0; // 16-bit values the header defines
    std::uint64_t section32 = 0; // 32-bit values the header defines
    std::uint64_t held16 = 0;    // of those, the ones that lie whole inside the entry
    std::uint64_t held32 = 0;
    std::uint64_t offset32 = 0;    // block byte where the 32-bit values start (the 16-bit ones start at n)
    std::uint64_t value_bytes = 0; // bytes of the entry behind its codes that the two sections use
};

EntryLayout entry_layout(std::size_t pixels, std::uint64_t length, std::int32_t delta16_count,
                         std::int32_t delta32_count) noexcept;

// The value sections of an entry whose bytes from block byte n on are `values` (as far as it holds
// them; at most layout.value_bytes() are used).
CodedSections value_sections(std::span<const std::uint8_t> values, const EntryLayout &layout) noexcept;

// How many 16-bit and 32-bit values the codes called for.
struct Taken {
    std::uint64_t values16 = 0;
    std::uint64_t values32 = 0;
};

// What a decode carries from one stretch of codes to the next.
struct DecodeState {
    std::uint32_t running = 0; // the last pixel; unsigned so that the sum wraps modulo 2^32
    std::size_t next16 = 0;    // 16-bit values taken so far (the index of the next one)
    std::size_t next32 = 0;    // 32-bit values taken so far
    std::uint64_t overflow = 0;

    Taken taken() const noexcept { return {next16, next32}; }
};

// Decodes the codes of `sections` (count of them) into out[0 .. count), continuing `state`. With a
// threshold, each pixel above it is stored as PIXEL_OVERFLOW and counted in state.overflow, in the
// same pass. Never reads outside the three sections. Every instruction set gives the same pixels,
// counts and state.
void decode_codes(Isa isa, const CodedSections &sections, std::int32_t *out, std::size_t count,
                  DecodeState &state, const std::int32_t *threshold) noexcept;

// The values the codes call for, without decoding a pixel.
Taken count_escapes(Isa isa, std::span<const std::uint8_t> codes) noexcept;

// Marks plain pixels in place: each above `threshold` becomes PIXEL_OVERFLOW. Returns how many.
std::uint64_t mark_in_place(Isa isa, std::int32_t *pixels, std::size_t count,
                            std::int32_t threshold) noexcept;

// What uncompressImage reports of an entry once its codes are taken.
struct Verdict {
    Taken taken;
    bool codes_missing = false;   // the entry holds fewer codes than pixels
    bool values_missing = false;  // a code's value lies inside its section but past the entry's end
    bool counts_disagree = false; // the codes took other numbers of values than the header gives

    bool corrupt() const noexcept { return codes_missing || values_missing || counts_disagree; }
};

Verdict judge(const Taken &taken, const EntryLayout &layout, std::int32_t delta16_count,
              std::int32_t delta32_count) noexcept;

} // namespace plateio::xarea
