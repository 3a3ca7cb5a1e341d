// The kernels besides the decoder give, in every instruction-set version this processor runs, exactly
// what their portable versions give: widening TRA values, scattering through an index map,
// thresholding plain pixels, counting escape codes.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>

#include "common/isa.hpp"
#include "geometry/transforms.hpp"
#include "plateio.h"
#include "tra/scatter.hpp"
#include "tra/widen.hpp"
#include "xarea/decode.hpp"

namespace plateio::test {
namespace {

class VectorPaths : public ::testing::Test {
  protected:
    std::mt19937 random{17};
};

TEST_F(VectorPaths, WideningMatchesAtEveryLengthAndAlignment) {
    std::vector<std::uint8_t> stream(2 * 200 + 1);
    for (auto &b : stream) {
        b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0xff : random()); // many 65535 marks
    }
    for (const tra::Saturation saturation : {tra::Saturation::keep, tra::Saturation::mark}) {
        for (std::size_t offset : {0u, 1u}) {
            for (std::size_t count = 0; count <= 200; ++count) {
                SCOPED_TRACE(std::to_string(count) + " values at offset " + std::to_string(offset));
                std::vector<std::int32_t> expected(count + 1, -7);
                std::uint64_t marks = 0;
                for (std::size_t i = 0; i < count; ++i) {
                    const auto value =
                        static_cast<std::int32_t>(stream[offset + 2 * i] | stream[offset + 2 * i + 1] << 8);
                    marks += value == 65535 ? 1 : 0;
                    expected[i] =
                        value == 65535 && saturation == tra::Saturation::mark ? PIXEL_OVERFLOW : value;
                }
                for (const Isa isa : supported_isas()) {
                    SCOPED_TRACE(isa_name(isa));
                    std::vector<std::int32_t> actual(count + 1, -7);
                    ASSERT_EQ(tra::widen_span(isa, stream.data() + offset, actual.data(), count, saturation),
                              marks);
                    ASSERT_EQ(actual, expected);
                }
            }
        }
    }
}

TEST_F(VectorPaths, ScatterMatchesForEveryKindOfMap) {
    constexpr std::size_t kPixels = 1000;
    std::vector<std::int32_t> grid(kPixels);
    for (auto &p : grid) {
        p = random() % 5 == 0 ? PIXEL_OVERFLOW : static_cast<std::int32_t>(random() % 70000);
    }
    struct Map {
        const char *name;
        std::vector<std::int32_t> entries;
        std::int32_t cell_count;
    };
    std::vector<Map> maps;
    std::vector<std::int32_t> identity(kPixels);
    for (std::size_t i = 0; i < kPixels; ++i) {
        identity[i] = static_cast<std::int32_t>(i);
    }
    maps.push_back({"identity", identity, static_cast<std::int32_t>(kPixels)});
    maps.push_back({"identity into too few cells", identity, 503});
    maps.push_back({"identity into no cells", identity, 0});
    maps.push_back({"identity, negative count", identity, -5});
    std::vector<std::int32_t> shifted(kPixels);
    for (std::size_t i = 0; i < kPixels; ++i) {
        shifted[i] =
            static_cast<std::int32_t>(i) - 3 + static_cast<std::int32_t>(i / 100) * 7; // runs with gaps
    }
    maps.push_back({"runs with jumps and negatives", shifted, 1100});
    std::vector<std::int32_t> near_max(kPixels);
    for (std::size_t i = 0; i < kPixels; ++i) {
        near_max[i] = INT_MAX - 15 + static_cast<std::int32_t>(i % 16); // runs whose next cell would wrap
    }
    maps.push_back({"runs at the top of the int range", near_max, INT_MAX});
    std::vector<std::int32_t> many_to_one(kPixels);
    for (std::size_t i = 0; i < kPixels; ++i) {
        many_to_one[i] = static_cast<std::int32_t>(i / 10); // later pixels overwrite earlier ones
    }
    maps.push_back({"many pixels to one cell", many_to_one, 100});
    std::vector<std::int32_t> scattered(kPixels);
    for (auto &e : scattered) {
        e = static_cast<std::int32_t>(random() % 1300) - 100;
    }
    maps.push_back({"random", scattered, 1000});

    for (const Map &map : maps) {
        for (std::size_t count : {kPixels, std::size_t{7}, std::size_t{8}, std::size_t{999}}) {
            SCOPED_TRACE(std::string(map.name) + ", " + std::to_string(count) + " pixels");
            const auto cells_size = static_cast<std::size_t>(std::max(map.cell_count, 0)) + 8;
            if (cells_size > 100000) {
                // Entries near INT_MAX: only the count of stored pixels can be compared (none fit).
                std::vector<std::int32_t> none(8, -1);
                for (const Isa isa : supported_isas()) {
                    EXPECT_EQ(
                        tra::scatter_pixels(isa, grid.data(), map.entries.data(), count, none.data(), 0), 0u);
                }
                EXPECT_EQ(none, std::vector<std::int32_t>(8, -1));
                continue;
            }
            // The expectation, element by element: the last pixel naming a cell wins.
            std::vector<std::int32_t> expected(cells_size, -1);
            std::uint64_t expected_overflow = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const std::int32_t cell = map.entries[i];
                if (cell >= 0 && cell < map.cell_count) {
                    expected[static_cast<std::size_t>(cell)] = grid[i];
                    expected_overflow += grid[i] == PIXEL_OVERFLOW ? 1 : 0;
                }
            }
            for (const Isa isa : supported_isas()) {
                SCOPED_TRACE(isa_name(isa));
                std::vector<std::int32_t> actual(cells_size, -1);
                EXPECT_EQ(tra::scatter_pixels(isa, grid.data(), map.entries.data(), count, actual.data(),
                                              map.cell_count),
                          expected_overflow);
                EXPECT_EQ(actual, expected);
            }
        }
    }
}

TEST_F(VectorPaths, ThresholdAndEscapeCountsMatch) {
    for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 31u, 32u, 33u, 1000u}) {
        std::vector<std::int32_t> pixels(count);
        std::vector<std::uint8_t> codes(count);
        for (std::size_t i = 0; i < count; ++i) {
            pixels[i] = static_cast<std::int32_t>(random());
            codes[i] = static_cast<std::uint8_t>(random() % 3 == 0 ? 254 + random() % 2 : random());
        }
        for (std::int32_t threshold : {INT_MIN, -1, 0, 1 << 30, INT_MAX}) {
            SCOPED_TRACE(std::to_string(count) + " pixels, threshold " + std::to_string(threshold));
            std::vector<std::int32_t> expected = pixels;
            std::uint64_t expected_count = 0;
            for (auto &p : expected) {
                expected_count += p > threshold ? 1 : 0;
                p = p > threshold ? PIXEL_OVERFLOW : p;
            }
            for (const Isa isa : supported_isas()) {
                SCOPED_TRACE(isa_name(isa));
                std::vector<std::int32_t> actual = pixels;
                EXPECT_EQ(xarea::mark_in_place(isa, actual.data(), count, threshold), expected_count);
                EXPECT_EQ(actual, expected);
            }
        }
        std::uint64_t sixteen = 0;
        std::uint64_t thirty_two = 0;
        for (std::uint8_t c : codes) {
            sixteen += c == 254 ? 1 : 0;
            thirty_two += c == 255 ? 1 : 0;
        }
        for (const Isa isa : supported_isas()) {
            const auto taken = xarea::count_escapes(isa, codes);
            EXPECT_EQ(taken.values16, sixteen) << isa_name(isa);
            EXPECT_EQ(taken.values32, thirty_two) << isa_name(isa);
        }
    }
}

TEST_F(VectorPaths, EveryVersionOfTheBatchTransformGivesThePointAtATimeBits) {
    // Points of every kind the guards tell apart, more than a block of them, and an odd count.
    std::vector<double> points = {0, 0, 1e-21, 5, 3, 4, 0x1p-1030, -7, std::nan(""), 1, INFINITY, 2};
    while (points.size() < 2 * 601) {
        points.push_back(std::uniform_real_distribution<double>(-300.0, 300.0)(random));
    }
    const geometry_params parameter_sets[] = {{0.3, 0.5, 1, -2, 0.5, 1.5, -2.5, 30},
                                              {-10, 0, 3, 0, 2, 10, 10, -90}};
    for (const geometry_params &params : parameter_sets) {
        for (const bool inverse : {false, true}) {
            std::vector<double> expected = points;
            for (std::size_t i = 0; i < points.size(); i += 2) {
                const geometry::Point p =
                    inverse ? geometry::inverse_correct({points[i], points[i + 1]}, params, 200)
                            : geometry::correct({points[i], points[i + 1]}, params, 200);
                expected[i] = p.x;
                expected[i + 1] = p.y;
            }
            for (const Isa isa : supported_isas()) {
                SCOPED_TRACE(std::string(isa_name(isa)) + (inverse ? ", inverse" : ""));
                std::vector<double> batch = points;
                geometry::transform_points(isa, batch.data(), batch.size() / 2, params, 200, inverse);
                EXPECT_EQ(std::memcmp(batch.data(), expected.data(), batch.size() * sizeof(double)), 0);
            }
        }
    }
}

} // namespace
} // namespace plateio::test
