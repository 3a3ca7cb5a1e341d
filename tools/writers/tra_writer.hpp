// Writes TRA files: header values, row table, pixel stream. Used by the tests, the command-line
// tool, the benchmarks and the fuzz corpus; the library itself only reads.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace plateio::writers {

inline constexpr int kTraGrid = 1200;
inline constexpr std::size_t kTraHeaderBytes = 336;
inline constexpr std::size_t kTraRowTableEntries = 600;

// The four bytes of a word-swapped VAX real holding `value` (F_floating, or the first half of a
// D_floating). The value is rounded to single precision.
std::array<std::uint8_t, 4> vax_real_bytes(double value);

// The header's used fields, by the image_info.geometry index they feed.
struct TraHeaderValues {
    double geometry0 = 0; // D_floating at 178
    double geometry2 = 0; // D_floating at 140
    double geometry3 = 0; // D_floating at 186
    double geometry4 = 0; // D_floating at 116
    double geometry5 = 0; // F_floating at 194
};

// A 336-byte header: a text line at the start and the values at their offsets.
std::array<std::uint8_t, kTraHeaderBytes> tra_header(const TraHeaderValues &values,
                                                     const char *text = "plateio test exposure");

// A TRA file's parts. The row table is written as given (odd values and values above 1201 are the
// caller's choice, for damaged files); the stream as given.
struct TraFile {
    std::array<std::uint8_t, kTraHeaderBytes> header{};
    std::array<std::uint16_t, kTraRowTableEntries> row_table{};
    std::vector<std::uint16_t> stream;
};

std::vector<std::uint8_t> encode_tra(const TraFile &file);

// Half-width of row i in 0..599 for a round image plate of `radius` pixels centred on the grid: the
// chord of the circle through the row's middle line, at most 600.
std::array<std::uint16_t, kTraRowTableEntries> circular_row_table(double radius);

// Number of stream values a row table calls for: 4 * sum(t >> 1).
std::size_t tra_stream_length(std::span<const std::uint16_t, kTraRowTableEntries> row_table);

// A file whose stream takes grid pixels (1200 x 1200 row-major, values 0..65535) inside the spans
// of `row_table`; pixels outside the spans are not stored.
TraFile tra_from_grid(std::span<const std::uint16_t> grid,
                      const std::array<std::uint16_t, kTraRowTableEntries> &row_table,
                      const TraHeaderValues &values);

// The grid a reader must produce from `file` (pixels outside the spans 0; 65535 kept as is).
std::vector<std::int32_t> tra_expected_grid(const TraFile &file);

} // namespace plateio::writers
