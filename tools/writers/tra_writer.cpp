#include "tra_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "little_endian.hpp"

namespace plateio::writers {

namespace {

void put_u16(std::vector<std::uint8_t> &out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::size_t half_width(std::uint16_t table_value) {
    return table_value >> 1;
}

} // namespace

std::array<std::uint8_t, 4> vax_real_bytes(double value) {
    // A VAX value is a quarter of the IEEE single with the same bits, once the halves are swapped.
    const auto le = le_bytes(static_cast<float>(value * 4.0));
    return {le[2], le[3], le[0], le[1]};
}

std::array<std::uint8_t, kTraHeaderBytes> tra_header(const TraHeaderValues &values, const char *text) {
    std::array<std::uint8_t, kTraHeaderBytes> header{};
    std::memcpy(header.data(), text, std::min<std::size_t>(std::strlen(text), 113));
    const auto put = [&](std::size_t offset, double value) {
        const auto bytes = vax_real_bytes(value);
        std::copy(bytes.begin(), bytes.end(), header.begin() + static_cast<std::ptrdiff_t>(offset));
    };
    put(116, values.geometry4);
    put(140, values.geometry2);
    put(178, values.geometry0);
    put(186, values.geometry3);
    put(194, values.geometry5);
    return header;
}

std::vector<std::uint8_t> encode_tra(const TraFile &file) {
    std::vector<std::uint8_t> out(file.header.begin(), file.header.end());
    out.reserve(kTraHeaderBytes + 2 * (kTraRowTableEntries + file.stream.size()));
    for (std::uint16_t value : file.row_table) {
        put_u16(out, value);
    }
    for (std::uint16_t value : file.stream) {
        put_u16(out, value);
    }
    return out;
}

std::array<std::uint16_t, kTraRowTableEntries> circular_row_table(double radius) {
    std::array<std::uint16_t, kTraRowTableEntries> table{};
    for (std::size_t i = 0; i < kTraRowTableEntries; ++i) {
        const double dy = 600.0 - (static_cast<double>(i) + 0.5);
        const double chord = radius * radius - dy * dy;
        const double half = chord > 0 ? std::floor(std::sqrt(chord)) : 0.0;
        table[i] = static_cast<std::uint16_t>(2 * std::min(half, 600.0));
    }
    return table;
}

std::size_t tra_stream_length(std::span<const std::uint16_t, kTraRowTableEntries> row_table) {
    std::size_t n = 0;
    for (std::uint16_t value : row_table) {
        n += 4 * half_width(value);
    }
    return n;
}

TraFile tra_from_grid(std::span<const std::uint16_t> grid,
                      const std::array<std::uint16_t, kTraRowTableEntries> &row_table,
                      const TraHeaderValues &values) {
    TraFile file;
    file.header = tra_header(values);
    file.row_table = row_table;
    for (int row = 0; row < kTraGrid; ++row) {
        const std::size_t half =
            half_width(row_table[static_cast<std::size_t>(std::min(row, kTraGrid - 1 - row))]);
        const std::size_t first = 600 - half;
        for (std::size_t k = 0; k < 2 * half; ++k) {
            file.stream.push_back(grid[static_cast<std::size_t>(row) * kTraGrid + first + k]);
        }
    }
    return file;
}

std::vector<std::int32_t> tra_expected_grid(const TraFile &file) {
    std::vector<std::int32_t> grid(std::size_t{kTraGrid} * kTraGrid, 0);
    std::size_t position = 0;
    for (int row = 0; row < kTraGrid; ++row) {
        const std::size_t half = std::min<std::size_t>(
            600, half_width(file.row_table[static_cast<std::size_t>(std::min(row, kTraGrid - 1 - row))]));
        const std::size_t first = 600 - half;
        for (std::size_t k = 0; k < 2 * half && position < file.stream.size(); ++k) {
            grid[static_cast<std::size_t>(row) * kTraGrid + first + k] = file.stream[position++];
        }
    }
    return grid;
}

} // namespace plateio::writers
