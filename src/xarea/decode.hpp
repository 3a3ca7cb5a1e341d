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
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "plateio.h"

namespace plateio::xarea {

struct CodedSections {
    std::span<const std::uint8_t> codes;    // may be shorter than the pixel count: missing codes add 0
    std::span<const std::uint8_t> values16; // 2 bytes a value
    std::span<const std::uint8_t> values32; // 4 bytes a value
};

// Where the sections a header defines lie in a block, each cut at the block's end. `complete` is
// false when the block is shorter than codes + values16 + values32. A negative count defines an
// empty section.
struct CodedLayout {
    CodedSections sections;
    bool complete = false;
};

CodedLayout coded_layout(std::span<const std::uint8_t> block, std::size_t pixel_count,
                         std::int32_t delta16_count, std::int32_t delta32_count) noexcept;

// The bytes of a complete coded block: codes, 16-bit values and 32-bit values.
std::uint64_t coded_block_bytes(std::size_t pixel_count, std::int32_t delta16_count,
                                std::int32_t delta32_count) noexcept;

// How many 16-bit and 32-bit values the codes called for. A code that calls for a value past the end
// of its section adds 0 but is still counted, so a mismatch shows what the codes asked for.
struct Taken {
    std::uint64_t values16 = 0;
    std::uint64_t values32 = 0;
};

// Decodes `pixel_count` pixels into `out`. Never reads outside the three sections.
Taken decode(const CodedSections &sections, std::int32_t *out, std::size_t pixel_count) noexcept;

// As decode, but each pixel above `threshold` is stored as PIXEL_OVERFLOW and counted, in the same
// pass: the import decodes straight into the host's array.
struct MarkedDecode {
    Taken taken;
    std::uint64_t overflow_count = 0;
};

MarkedDecode decode_marking(const CodedSections &sections, std::int32_t *out, std::size_t pixel_count,
                            std::int32_t threshold) noexcept;

// The instruction-set paths of the decoder. All give the same pixels and counts; the fastest one the
// processor runs is chosen at each call (the C library's CPU description, no state of our own).
// An AVX-512 version of the AVX2 path was measured too, on a processor that runs 512-bit
// operations as two halves, and did not pay: it is not kept.
enum class DecodePath { scalar, avx2 };

bool path_supported(DecodePath path) noexcept;
DecodePath best_decode_path() noexcept;

// decode (threshold null) or decode_marking on a given path, for tests and benchmarks.
MarkedDecode decode_on(DecodePath path, const CodedSections &sections, std::int32_t *out,
                       std::size_t pixel_count, const std::int32_t *threshold) noexcept;

// Marks plain pixels in place: each above `threshold` becomes PIXEL_OVERFLOW. Returns how many.
std::uint64_t mark_in_place(std::int32_t *pixels, std::size_t count, std::int32_t threshold) noexcept;

// The values the codes call for, without decoding a pixel.
Taken count_escapes(std::span<const std::uint8_t> codes) noexcept;

// True when the codes took other numbers of values than the header gives.
bool counts_disagree(const Taken &taken, const xi_header &header) noexcept;

// Prints the count-mismatch report: "<32-bit taken> <delta32_count> <16-bit taken> <delta16_count>\n"
// and then " uncompressImage(): corrupt imagedata " without a line end.
void report_corrupt_stream(const Taken &taken, const xi_header &header) noexcept;

} // namespace plateio::xarea
