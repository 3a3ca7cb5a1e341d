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
#include <cstdio>
#include <optional>
#include <span>

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

// The half-width of every grid row and the stream length they imply.
struct RowSpans {
    std::array<std::uint16_t, kGridSize> half_width{};
    std::size_t stream_count = 0;
};

// Expands the raw row table. Nothing when a half-width exceeds 600: such a row would reach outside
// the grid, and the format has no such rows, so the file is damaged.
std::optional<RowSpans> expand_row_table(std::span<const std::uint8_t, kRowTableBytes> table) noexcept;

enum class GridStatus { ok, damaged, no_memory };

// Reads the header and the row table from the start of `file`; nothing when the file is too short
// for them or the table is damaged.
std::optional<RowSpans> read_row_spans(std::FILE *file) noexcept;

// Walks the grid row by row: asks `rows.row(r)` for 1200 pixels to fill, fills the row's span from
// `values` (which widens the next stream values into it, false when the stream runs out) and every
// other pixel with 0, and hands the row to `rows.done(r, pixels)`.
template <class Values, class Rows>
GridStatus place_rows(const RowSpans &spans, Values &values, Saturation saturation, Rows &rows) noexcept {
    for (std::size_t row = 0; row < kGridPixels / kGridSize; ++row) {
        std::int32_t *out = rows.row(row);
        const std::size_t half = spans.half_width[row];
        const std::size_t first = kCentre - half;
        std::fill(out, out + first, 0);
        if (!values.take(out + first, 2 * half, saturation)) {
            return GridStatus::damaged;
        }
        std::fill(out + first + 2 * half, out + kGridSize, 0);
        rows.done(row, out);
    }
    return GridStatus::ok;
}

// Reads a whole TRA file from its start, with sequential reads only (it may be a pipe), into `grid`,
// 1200 x 1200 int32 row-major: every recorded pixel widened from the stream (65535 marked as asked),
// every other pixel 0. The stream is read in cache-sized chunks and widened as it comes. `damaged`
// when the file ends before its stream does or a row is wider than the grid; `grid` then holds
// nothing useful. Reads nothing past the stream.
GridStatus read_grid(std::FILE *file, std::int32_t *grid, Saturation saturation) noexcept;

// A whole pixel stream in memory, for a reader that must know the file is complete before it
// writes anything of the host's.
struct Stream {
    RowSpans spans;
    MallocPtr<std::uint8_t> bytes; // 2 * spans.stream_count bytes
};

GridStatus read_stream(std::FILE *file, Stream &stream) noexcept;

// Hands out the values of a stream held in memory; it cannot run out.
class StreamInMemory {
  public:
    explicit StreamInMemory(const Stream &stream) noexcept : next_(stream.bytes.get()) {}
    bool take(std::int32_t *out, std::size_t count, Saturation saturation) noexcept {
        widen_span(next_, out, count, saturation);
        next_ += 2 * count;
        return true;
    }

  private:
    const std::uint8_t *next_;
};

} // namespace plateio::tra
