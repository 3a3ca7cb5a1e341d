// The library in a host that supplies none of sind, cosd and binning (this test program defines
// none of them): the transforms and read_az_tra fall back to the built-in routines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "plateio.h"

// Parameter sets name the members they set with designated initializers; the others are zero on
// purpose, which GCC 12 still reports as missing.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include "support/temp_dir.hpp"
#include "support/tra_exposure.hpp"
#include "tra_writer.hpp"

namespace plateio::test {
namespace {

// Quarter turns through the built-in sind and cosd: exact zeros and ones, so a coordinate that a
// turn should empty is exactly 0 (a sine of 180 degrees of 1.2e-16 would leave 4.9e-16 here).
struct QuarterTurn {
    const char *name;
    double rotation;
    double x, y;
    double expected_x, expected_y;
};

const QuarterTurn kQuarterTurns[] = {
    {"90 turns (1, 0) into (0, 1)", 90, 1, 0, 0, 1},
    {"180 turns (0, 4) into (0, -4)", 180, 0, 4, 0, -4},
    {"-180 turns (4, 0) into (-4, 0)", -180, 4, 0, -4, 0},
    {"270 turns (0, 2) into (2, 0)", 270, 0, 2, 2, 0},
    {"-90 turns (0, 3) into (3, 0)", -90, 0, 3, 3, 0},
    {"3690 is 90", 3690, 1, 0, 0, 1},
    {"-7200 is none", -7200, 0, 5, 0, 5},
    {"a multiple of 90 near 2^60 is none", 0x1p60 * 90, 0, 5, 0, 5},
};

TEST(HostDefaults, QuarterTurnsAreExact) {
    ASSERT_EQ(plateio_host_routines(), 0) << "this program supplies no host routine";
    for (const QuarterTurn &t : kQuarterTurns) {
        SCOPED_TRACE(t.name);
        const geometry_params params{.rotation = t.rotation};
        double point[2] = {t.x, t.y};
        correct_cry(point, &params, 200);
        EXPECT_EQ(point[0], t.expected_x);
        EXPECT_EQ(point[1], t.expected_y);

        // anti_correct turns the result back, by -rotation, again exactly.
        anti_correct(point, &params, 200);
        EXPECT_EQ(point[0], t.x);
        EXPECT_EQ(point[1], t.y);
    }
}

TEST(HostDefaults, OtherAnglesAreAccurate) {
    // rotation 30 through the built-in sind and cosd, against the worked value.
    const geometry_params params{.rotation = 30};
    double point[2] = {3, 4};
    correct_cry(point, &params, 200);
    EXPECT_NEAR(point[0], 0.59807621135331594, 4e-16);
    EXPECT_NEAR(point[1], 4.9641016151377546, 4e-15);
    // tilt_x 10 needs cosd(-10) and sind(-10).
    const geometry_params tilted{.tilt_x = 10};
    double tilted_point[2] = {3, 4};
    correct_cry(tilted_point, &tilted, 200);
    EXPECT_NEAR(tilted_point[0], 2.9467477982584499, 2e-15);
    EXPECT_EQ(tilted_point[1], 4.0);
}

// The built-in binning through read_az_tra: any grid_mode but 600 sums 2 x 2 blocks into a 600 x 600
// grid, a block with a saturated pixel becoming PIXEL_OVERFLOW.
TEST(HostDefaults, ReadAzTraBinsTwoByTwoWhenGridModeIsNot600) {
    TempDir dir;
    const writers::TraFile file = plate_exposure();
    const std::string path = dir.write("plate.tra", writers::encode_tra(file));
    const std::vector<std::int32_t> grid = marked_grid(file);

    constexpr std::size_t kBinned = 600;
    std::vector<std::int32_t> expected(kBinned * kBinned);
    std::int32_t expected_overflows = 0;
    for (std::size_t row = 0; row < kBinned; ++row) {
        for (std::size_t column = 0; column < kBinned; ++column) {
            std::int32_t sum = 0;
            bool overflowed = false;
            for (const std::size_t dy : {0u, 1u}) {
                for (const std::size_t dx : {0u, 1u}) {
                    const std::int32_t pixel = grid[(2 * row + dy) * 1200 + 2 * column + dx];
                    overflowed = overflowed || pixel == PIXEL_OVERFLOW;
                    sum += pixel;
                }
            }
            expected[row * kBinned + column] = overflowed ? PIXEL_OVERFLOW : sum;
            expected_overflows += overflowed ? 1 : 0;
        }
    }
    ASSERT_GT(expected_overflows, 1000);

    for (const std::int32_t grid_mode : {1200, 0, -600, 601}) {
        SCOPED_TRACE("grid_mode " + std::to_string(grid_mode));
        // 360 000 map entries, the identity, then a row's worth that point at a sentinel cell: a copy
        // that went on past the binned grid would change it.
        std::vector<std::int32_t> map(kBinned * kBinned + 1200, static_cast<std::int32_t>(kBinned * kBinned));
        for (std::size_t i = 0; i < kBinned * kBinned; ++i) {
            map[i] = static_cast<std::int32_t>(i);
        }
        std::int32_t *map_pointer = map.data();
        std::vector<std::int32_t> cells(kBinned * kBinned + 1, -7);
        remap_target target{cells.data(), grid_mode, static_cast<std::int32_t>(cells.size()), 99, 1.5};
        ASSERT_EQ(read_az_tra(path.c_str(), &target, &map_pointer), 1);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), cells.begin()));
        EXPECT_EQ(cells.back(), -7) << "the copy read past the binned grid";
        EXPECT_EQ(target.overload_count, expected_overflows);
        EXPECT_EQ(target.aux_value, 0.0);
    }
}

} // namespace
} // namespace plateio::test
