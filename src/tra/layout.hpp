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

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

namespace plateio::tra {

inline constexpr std::int32_t kGridSize = 1200;
inline constexpr std::int32_t kCentre = 600;
inline constexpr std::size_t kGridPixels = std::size_t{kGridSize} * kGridSize;
inline constexpr std::size_t kHeaderBytes = 336;
inline constexpr std::size_t kRowTableEntries = 600;
inline constexpr std::size_t kRowTableBytes = 2 * kRowTableEntries;
inline constexpr std::size_t kStreamOffset = kHeaderBytes + kRowTableBytes;
inline constexpr std::uint16_t kSaturated = 65535;

// The half-width of every grid row and the stream length they imply.
struct RowSpans {
    std::array<std::uint16_t, kGridSize> half_width{};
    std::size_t stream_count = 0;
};

// Expands the raw row table. Nothing when a half-width exceeds 600: such a row would reach outside
// the grid, and the format has no such rows, so the file is damaged.
std::optional<RowSpans> expand_row_table(std::span<const std::uint8_t, kRowTableBytes> table) noexcept;

// What a reader does with the saturation mark 65535: keep it as a value or store PIXEL_OVERFLOW.
enum class Saturation { keep, mark };

enum class GridStatus { ok, damaged, no_memory };

// Reads a whole TRA file from its start, with sequential reads only (it may be a pipe), into `grid`,
// 1200 x 1200 int32 row-major: every recorded pixel widened from the stream (65535 marked as asked),
// every other pixel 0. `damaged` when the file ends before its stream does or a row is wider than
// the grid; `grid` then holds nothing useful. Reads nothing past the stream.
GridStatus read_grid(std::FILE *file, std::int32_t *grid, Saturation saturation) noexcept;

} // namespace plateio::tra
