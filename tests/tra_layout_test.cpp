// How the row table and the pixel stream of a TRA file land on the 1200 x 1200 grid.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "plateio.h"
#include "support/temp_dir.hpp"
#include "tra_writer.hpp"

namespace plateio::test {
namespace {

using writers::TraFile;

struct Pixel {
    int row;
    int column;
    std::int32_t value;
};

struct LayoutCase {
    const char *name;
    std::vector<std::pair<std::size_t, std::uint16_t>> table; // index, value; the rest 0
    std::vector<std::uint16_t> stream;
    std::vector<Pixel> expected; // every other pixel is 0
};

std::vector<std::uint16_t> counting(std::size_t n, std::uint16_t first = 1) {
    std::vector<std::uint16_t> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = static_cast<std::uint16_t>(first + i);
    }
    return values;
}

std::vector<Pixel> full_row(int row, std::uint16_t first) {
    std::vector<Pixel> pixels;
    for (int c = 0; c < 1200; ++c) {
        pixels.push_back({row, c, first + c});
    }
    return pixels;
}

std::vector<Pixel> concat(std::vector<Pixel> a, const std::vector<Pixel> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const LayoutCase kLayoutCases[] = {
    {"empty table: no stream, blank grid", {}, {}, {}},
    {"t0 = 2: two pixels in row 0 and two in row 1199",
     {{0, 2}},
     {10, 20, 30, 40},
     {{0, 599, 10}, {0, 600, 20}, {1199, 599, 30}, {1199, 600, 40}}},
    {"odd value 5 is half-width 2, columns 598..601",
     {{0, 5}},
     counting(8),
     {{0, 598, 1},
      {0, 599, 2},
      {0, 600, 3},
      {0, 601, 4},
      {1199, 598, 5},
      {1199, 599, 6},
      {1199, 600, 7},
      {1199, 601, 8}}},
    {"value 1 is half-width 0: no pixels",
     {{0, 1}, {1, 2}},
     {7, 8, 9, 10},
     {{1, 599, 7}, {1, 600, 8}, {1198, 599, 9}, {1198, 600, 10}}},
    {"t599 gives the middle rows 599 and 600",
     {{599, 2}},
     {1, 2, 3, 4},
     {{599, 599, 1}, {599, 600, 2}, {600, 599, 3}, {600, 600, 4}}},
    {"half-width 600 fills a whole row, both halves",
     {{300, 1200}},
     counting(2400),
     concat(full_row(300, 1), full_row(899, 1201))},
    {"value 1201 is half-width 600 too",
     {{0, 1201}},
     counting(2400),
     concat(full_row(0, 1), full_row(1199, 1201))},
    {"the stream position runs on across rows, top half first",
     {{0, 2}, {1, 4}},
     counting(12),
     {{0, 599, 1},
      {0, 600, 2},
      {1, 598, 3},
      {1, 599, 4},
      {1, 600, 5},
      {1, 601, 6},
      {1198, 598, 7},
      {1198, 599, 8},
      {1198, 600, 9},
      {1198, 601, 10},
      {1199, 599, 11},
      {1199, 600, 12}}},
};

TEST(TraLayout, StreamLandsInMirroredCentredSpans) {
    TempDir dir;
    for (const LayoutCase &c : kLayoutCases) {
        SCOPED_TRACE(c.name);
        TraFile file;
        for (auto [index, value] : c.table) {
            file.row_table[index] = value;
        }
        file.stream = c.stream;
        ASSERT_EQ(writers::tra_stream_length(file.row_table), c.stream.size());
        const std::string path = dir.write("layout.tra", writers::encode_tra(file));

        std::int32_t *pixels = nullptr;
        std::int32_t width = 0;
        std::int32_t height = 0;
        ASSERT_EQ(read_short_tra(path.c_str(), &pixels, &width, &height), 1);
        EXPECT_EQ(width, 1200);
        EXPECT_EQ(height, 1200);
        std::vector<std::int32_t> expected(1200 * 1200, 0);
        for (const Pixel &p : c.expected) {
            expected[static_cast<std::size_t>(p.row) * 1200 + static_cast<std::size_t>(p.column)] = p.value;
        }
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pixels))
            << "first difference at "
            << (std::mismatch(expected.begin(), expected.end(), pixels).first - expected.begin());
        std::free(pixels);
    }
}

// Random tables within the format (and odd values) against the writer's own placement.
TEST(TraLayout, RandomTablesRoundTripThroughTheWriter) {
    TempDir dir;
    std::mt19937 random(7);
    for (int trial = 0; trial < 12; ++trial) {
        SCOPED_TRACE(trial);
        TraFile file;
        for (auto &value : file.row_table) {
            value = static_cast<std::uint16_t>(random() % 1202);
        }
        file.stream.resize(writers::tra_stream_length(file.row_table));
        for (auto &value : file.stream) {
            value = static_cast<std::uint16_t>(random() % 65535); // below the saturation mark
        }
        const std::string path = dir.write("random.tra", writers::encode_tra(file));
        std::int32_t *pixels = nullptr;
        std::int32_t width = 0;
        std::int32_t height = 0;
        ASSERT_EQ(read_tra(path.c_str(), &pixels, &width, &height), 1);
        const auto expected = writers::tra_expected_grid(file);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pixels));
        std::free(pixels);
    }
}

} // namespace
} // namespace plateio::test
