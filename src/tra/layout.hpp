// The TRA file layout: the one place that knows how a TRA file maps onto its grid.
//
//   offset 0     336 bytes   header (exposure values as word-swapped VAX reals)
//   offset 336   1200 bytes  row table: 600 little-endian uint16 t0 .. t599
//   offset 1536  2 * N bytes pixel stream: N little-endian uint16
//
// An image plate is round, so a row records only the span of the plate that crosses it: value ti
// gives the half-width w = ti >> 1 of row i and, mirrored, of row 1199 - i. The span covers columns
// 600 - w .. 600 + w - 1, centred between the grid's middle columns; N = 4 * (w0 + ... + w599).
// The stream fills the spans of rows 0 .. 1199 in turn, one running position for the whole grid.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/fault.hpp"
#include "common/file.hpp"
#include "common/isa.hpp"
#include "common/memory.hpp"
#include "tra/widen.hpp"

namespace plateio::tra {

inline constexpr std::int32_t kGridSize = 1200;
inline constexpr std::int32_t kCentre = 600;
inline constexpr std::size_t kGridPixels = std::size_t{kGridSize} * kGridSize;
inline constexpr std::size_t kHeaderBytes = 336;
inline constexpr std::size_t kRowTableEntries = 600;
inline constexpr std::size_t kRowTableBytes = 2 * kRowTableEntries;
inline constexpr std::size_t kStreamOffset = kHeaderBytes + kRowTableBytes;

// The header and the row table, the file's first kStreamOffset bytes.
using Head = std::array<std::uint8_t, kStreamOffset>;

// The half-width of every grid row and the stream length they imply.
struct RowSpans {
    std::array<std::uint16_t, kGridSize> half_width{};
    std::size_t stream_count = 0;
};

// Reads the header and the row table from the start of `source`; tra_header_short when the file is
// shorter.
Fault read_head(Source &source, Head &head) noexcept;

// Expands the row table of `head`, the file's first kStreamOffset bytes (or more). tra_row_table when
// a half-width exceeds 600: such a row would reach outside the grid, and the format has no such rows,
// so the file is damaged.
Fault expand_row_table(std::span<const std::uint8_t> head, RowSpans &spans) noexcept;

// Whether a file of `size` bytes (-1: not known) that starts with `head`, its first
// min(size, kStreamOffset) bytes or more, is a TRA file. A TRA file has no magic, so the structure
// decides: the header and a row table whose rows fit the grid; and, where the size is known, a length
// L with E <= L < E + 512, where E is the end of the pixel stream. The header and the table fill
// exactly three 512-byte blocks, and a file copied from a block-structured disk keeps its last block's
// padding, so up to 511 trailing bytes are accepted (the readers ignore them); more means something
// else. Through a pipe, whose length is not known, the row table alone decides. unknown_short,
// unknown_row or unknown_length when it is not one; `spans` receives its rows when it is.
Fault recognise(std::span<const std::uint8_t> head, std::int64_t size, RowSpans &spans) noexcept;

// Both: the head read from `source` and its row table expanded, the head kept in `head`.
Fault read_spans(Source &source, Head &head, RowSpans &spans) noexcept;

// The same from the file at `path`, opened into `source`.
Fault open_spans(const char *path, Source &source, Head &head, RowSpans &spans) noexcept;

// Walks the grid row by row: asks `rows.row(r)` for 1200 pixels to fill, fills the row's span from
// `values` (which widens the next stream values into it, false when the stream runs out) and every
// other pixel with 0, and hands the row to `rows.done(r, pixels)`.
template <class Values, class Rows>
bool place_rows(const RowSpans &spans, Values &values, Rows &rows) noexcept {
    for (std::size_t row = 0; row < kGridPixels / kGridSize; ++row) {
        std::int32_t *out = rows.row(row);
        const std::size_t half = spans.half_width[row];
        const std::size_t first = kCentre - half;
        std::fill(out, out + first, 0);
        if (!values.take(out + first, 2 * half)) {
            return false;
        }
        std::fill(out + first + 2 * half, out + kGridSize, 0);
        rows.done(row, out);
    }
    return true;
}

// Reads the pixel stream that follows the head, sequentially (the file may be a pipe), into `grid`,
// 1200 x 1200 int32 row-major: every recorded pixel widened from the stream (65535 marked as asked),
// every other pixel 0. The stream is read in cache-sized chunks and widened as it comes; `saturated`
// receives the number of 65535 values. tra_stream_short when the file ends before its stream does;
// `grid` then holds nothing useful. Reads nothing past the stream.
Fault read_grid(Source &source, const RowSpans &spans, std::int32_t *grid, Saturation saturation, Isa isa,
                std::uint64_t &saturated) noexcept;

// A whole pixel stream in memory, for a reader that must know the file is complete before it writes
// anything of the host's.
struct Stream {
    RowSpans spans;
    MallocPtr<std::uint8_t> bytes; // 2 * spans.stream_count bytes
};

Fault read_stream(Source &source, const RowSpans &spans, Stream &stream) noexcept;

// Hands out the values of a stream held in memory; it cannot run out.
class StreamInMemory {
  public:
    StreamInMemory(const Stream &stream, Saturation saturation, Isa isa) noexcept
        : next_(stream.bytes.get()), saturation_(saturation), isa_(isa) {}
    bool take(std::int32_t *out, std::size_t count) noexcept {
        widen_span(isa_, next_, out, count, saturation_);
        next_ += 2 * count;
        return true;
    }

  private:
    const std::uint8_t *next_;
    Saturation saturation_;
    Isa isa_;
};

// The pixels the file records no value for (outside the row spans) as 1, the others as 0, into `mask`
// (1200 x 1200, row-major).
void mark_unrecorded(const RowSpans &spans, std::uint8_t *mask) noexcept;

// The number of recorded pixels: the stream's length.
inline std::size_t recorded_pixels(const RowSpans &spans) noexcept {
    return spans.stream_count;
}

} // namespace plateio::tra
