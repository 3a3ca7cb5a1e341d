// The built-in sind, cosd and binning, called directly (this program links the library's objects
// statically and defines none of the host routines, so the weak references stay null).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host_routines.hpp"

namespace plateio::host {
namespace {

TEST(DefaultRoutines, AHostWithoutRoutinesGetsTheDefaults) {
    EXPECT_EQ(&::sind, nullptr);
    EXPECT_EQ(&::cosd, nullptr);
    EXPECT_EQ(&::binning, nullptr);
    EXPECT_EQ(call_sind(30), default_sind(30));
    EXPECT_EQ(call_cosd(-1234.5), default_cosd(-1234.5));
    std::int32_t pixels[4] = {1, 2, 3, 4};
    std::int32_t *grid = pixels;
    std::int32_t width = 2;
    std::int32_t height = 2;
    call_binning(&grid, 2, &width, &height, 100);
    EXPECT_EQ(pixels[0], 10);
    EXPECT_EQ(width, 1);
    EXPECT_EQ(height, 1);
}

// ---- sind and cosd ---------------------------------------------------------------------------------

TEST(DefaultSindCosd, MultiplesOf90AreExact) {
    const double sines[4] = {0, 1, 0, -1};
    const double cosines[4] = {1, 0, -1, 0};
    for (long k = -4000; k <= 4000; ++k) {
        const double degrees = 90.0 * static_cast<double>(k);
        SCOPED_TRACE(degrees);
        const auto quadrant = static_cast<std::size_t>((k % 4 + 4) % 4);
        EXPECT_EQ(default_sind(degrees), sines[quadrant]);
        EXPECT_EQ(default_cosd(degrees), cosines[quadrant]);
    }
    // Far out, where the angle has no fraction left: 90 * 2^k is a multiple of 360 from k = 2 on.
    for (int k = 2; k < 1000; k += 7) {
        const double degrees = std::ldexp(90.0, k);
        SCOPED_TRACE(degrees);
        EXPECT_EQ(default_sind(degrees), 0.0);
        EXPECT_EQ(default_cosd(degrees), 1.0);
    }
    for (int j = 0; j < 44; ++j) {
        const double degrees = 270.0 + std::ldexp(360.0, j);
        SCOPED_TRACE(degrees);
        EXPECT_EQ(default_sind(degrees), -1.0);
        EXPECT_EQ(default_cosd(degrees), 0.0);
    }
    EXPECT_EQ(default_sind(90.0 + 360.0 * 1e12), 1.0);
    EXPECT_EQ(default_cosd(-270.0 - 360.0 * 1e12), 0.0);
}

TEST(DefaultSindCosd, ZerosHaveTheSignsOfAnOddSineAndAnEvenCosine) {
    struct Case {
        const char *name;
        double value;
        bool negative;
    };
    const Case cases[] = {
        {"sind(0)", default_sind(0.0), false},     {"sind(-0)", default_sind(-0.0), true},
        {"sind(180)", default_sind(180.0), false}, {"sind(-180)", default_sind(-180.0), true},
        {"sind(360)", default_sind(360.0), false}, {"sind(-720)", default_sind(-720.0), true},
        {"cosd(90)", default_cosd(90.0), false},   {"cosd(-90)", default_cosd(-90.0), false},
        {"cosd(270)", default_cosd(270.0), false}, {"cosd(-450)", default_cosd(-450.0), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value, 0.0);
        EXPECT_EQ(std::signbit(c.value), c.negative);
    }
}

// The sine and cosine in 64-bit-mantissa arithmetic, as a reference: the same exact reduction in
// degrees, then long double functions, 11 bits better than the double result.
long double reference(double degrees, bool sine) {
    const long double turn = std::fmod(static_cast<long double>(degrees), 360.0L);
    const long double quarters = std::round(turn / 90);
    const long double radians = (turn - 90 * quarters) * 3.14159265358979323846264338327950288L / 180;
    const int quadrant = (static_cast<int>(quarters) % 4 + 4) % 4 + (sine ? 0 : 1);
    switch (quadrant % 4) {
    case 0:
        return std::sin(radians);
    case 1:
        return std::cos(radians);
    case 2:
        return -std::sin(radians);
    default:
        return -std::cos(radians);
    }
}

// The distance from the reference in units in the last place of the correctly rounded result.
double ulps(double actual, long double exact) {
    const auto rounded = static_cast<double>(exact);
    const double ulp = std::nextafter(std::fabs(rounded), INFINITY) - std::fabs(rounded);
    return static_cast<double>(std::fabs(static_cast<long double>(actual) - exact) / ulp);
}

TEST(DefaultSindCosd, AccurateToTwoUlpsForAnyFiniteAngle) {
    std::vector<double> angles = {1e-300,
                                  1e-20,
                                  1e-5,
                                  0.5,
                                  1,
                                  10,
                                  30,
                                  44.999999999,
                                  45,
                                  45.000000001,
                                  60,
                                  89.999999999,
                                  90.000000001,
                                  135,
                                  179.99999999,
                                  180.00000001,
                                  225,
                                  359.9999999999,
                                  1e6 + 0.25,
                                  123456789.125,
                                  1e15 + 0.5,
                                  1e300,
                                  std::nextafter(90.0, 0.0),
                                  std::nextafter(180.0, 0.0)};
    for (int i = 0; i < 20000; ++i) {
        angles.push_back(-3700.0 + 0.3701 * i);
    }
    double worst = 0;
    for (const double a : angles) {
        for (const double degrees : {a, -a}) {
            SCOPED_TRACE(degrees);
            const double sine_error = ulps(default_sind(degrees), reference(degrees, true));
            const double cosine_error = ulps(default_cosd(degrees), reference(degrees, false));
            EXPECT_LE(sine_error, 2.0);
            EXPECT_LE(cosine_error, 2.0);
            worst = std::max({worst, sine_error, cosine_error});
        }
    }
    RecordProperty("worst_ulps", std::to_string(worst));
}

TEST(DefaultSindCosd, SineIsOddAndCosineEven) {
    for (int i = 1; i < 5000; ++i) {
        const double degrees = 0.731 * i * i;
        EXPECT_EQ(default_sind(-degrees), -default_sind(degrees)) << degrees;
        EXPECT_EQ(default_cosd(-degrees), default_cosd(degrees)) << degrees;
    }
}

TEST(DefaultSindCosd, NonFiniteAnglesGiveNaN) {
    for (const double degrees : {INFINITY, -INFINITY, NAN}) {
        EXPECT_TRUE(std::isnan(default_sind(degrees)));
        EXPECT_TRUE(std::isnan(default_cosd(degrees)));
    }
}

// ---- binning -----------------------------------------------------------------------------------------

constexpr std::int32_t O = PIXEL_OVERFLOW;

struct BinCase {
    const char *name;
    std::int32_t width, height;
    std::vector<std::int32_t> pixels;
    std::int32_t factor, limit;
    std::int32_t expected_width, expected_height;
    std::vector<std::int32_t> expected; // the first expected_width * expected_height pixels
};

std::vector<BinCase> bin_cases() {
    std::vector<std::int32_t> counting(42);
    for (std::size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<std::int32_t>(i);
    }
    return {
        {"2 x 2 sums of a 4 x 4 image",
         4,
         4,
         std::vector<std::int32_t>(counting.begin(), counting.begin() + 16),
         2,
         9999999,
         2,
         2,
         {0 + 1 + 4 + 5, 2 + 3 + 6 + 7, 8 + 9 + 12 + 13, 10 + 11 + 14 + 15}},
        {"a ragged last column and row are dropped",
         5,
         3,
         std::vector<std::int32_t>(counting.begin(), counting.begin() + 15),
         2,
         9999999,
         2,
         1,
         {0 + 1 + 5 + 6, 2 + 3 + 7 + 8}},
        {"3 x 3 blocks of a 7 x 6 image",
         7,
         6,
         counting,
         3,
         9999999,
         2,
         2,
         {0 + 1 + 2 + 7 + 8 + 9 + 14 + 15 + 16, 3 + 4 + 5 + 10 + 11 + 12 + 17 + 18 + 19,
          21 + 22 + 23 + 28 + 29 + 30 + 35 + 36 + 37, 24 + 25 + 26 + 31 + 32 + 33 + 38 + 39 + 40}},
        {"an overflowed pixel overflows its block",
         4,
         2,
         {1, 2, 3, O, 5, 6, 7, 8},
         2,
         9999999,
         2,
         1,
         {14, O}},
        {"an overflowed block ignores the limit", 2, 2, {O, 0, 0, 0}, 2, 10, 1, 1, {O}},
        {"a sum that equals PIXEL_OVERFLOW without one is a sum",
         2,
         2,
         {256000, 1, 0, 0},
         2,
         9999999,
         1,
         1,
         {256001}},
        {"a sum above the limit is the limit",
         2,
         2,
         {3000000, 3000000, 3000000, 3000000},
         2,
         9999999,
         1,
         1,
         {9999999}},
        {"a sum at the limit is kept", 2, 2, {4, 3, 2, 1}, 2, 10, 1, 1, {10}},
        {"the sum is taken in 64 bits",
         2,
         2,
         {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX},
         2,
         INT32_MAX,
         1,
         1,
         {INT32_MAX}},
        {"a sum below the int32 range is clamped",
         2,
         2,
         {INT32_MIN, INT32_MIN, -5, 0},
         2,
         9999999,
         1,
         1,
         {INT32_MIN}},
        {"negative pixels add", 2, 2, {-10, 4, 3, 2}, 2, 9999999, 1, 1, {-1}},
        {"factor 1 keeps the pixels but applies the limit", 2, 2, {1, 50, O, 7}, 1, 10, 2, 2, {1, 10, O, 7}},
        {"a factor larger than the image leaves no pixel",
         3,
         3,
         std::vector<std::int32_t>(9, 1),
         4,
         9999999,
         0,
         0,
         {}},
        {"factor 0 does nothing", 2, 2, {1, 2, 3, 4}, 0, 1, 2, 2, {1, 2, 3, 4}},
        {"a negative factor does nothing", 2, 2, {1, 2, 3, 4}, -2, 1, 2, 2, {1, 2, 3, 4}},
        {"a negative width does nothing", -2, 2, {1, 2, 3, 4}, 2, 9999999, -2, 2, {}},
        {"an empty image stays empty", 0, 0, {}, 2, 9999999, 0, 0, {}},
    };
}

TEST(DefaultBinning, SumsBlocksInPlace) {
    for (const BinCase &c : bin_cases()) {
        SCOPED_TRACE(c.name);
        std::vector<std::int32_t> pixels = c.pixels;
        pixels.push_back(-12345); // one past the image: never touched
        std::int32_t *grid = pixels.data();
        std::int32_t width = c.width;
        std::int32_t height = c.height;
        default_binning(&grid, c.factor, &width, &height, c.limit);
        EXPECT_EQ(grid, pixels.data()) << "the block was replaced";
        EXPECT_EQ(width, c.expected_width);
        EXPECT_EQ(height, c.expected_height);
        ASSERT_LE(c.expected.size(), pixels.size());
        EXPECT_EQ(std::vector<std::int32_t>(pixels.begin(),
                                            pixels.begin() + static_cast<std::ptrdiff_t>(c.expected.size())),
                  c.expected);
        EXPECT_EQ(pixels.back(), -12345);
    }
}

TEST(DefaultBinning, TheTraGridBinsTo600By600) {
    // Large enough that writing a block's sum over a pixel a later block still needs would show.
    std::vector<std::int32_t> pixels(std::size_t{1200} * 1200);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::int32_t>((i * 7919) % 65535);
    }
    const std::vector<std::int32_t> original = pixels;
    std::int32_t *grid = pixels.data();
    std::int32_t width = 1200;
    std::int32_t height = 1200;
    default_binning(&grid, 2, &width, &height, 9999999);
    ASSERT_EQ(width, 600);
    ASSERT_EQ(height, 600);
    std::size_t mismatches = 0;
    for (std::size_t row = 0; row < 600; ++row) {
        for (std::size_t column = 0; column < 600; ++column) {
            const std::size_t corner = 2 * row * 1200 + 2 * column;
            const std::int32_t sum =
                original[corner] + original[corner + 1] + original[corner + 1200] + original[corner + 1201];
            mismatches += pixels[row * 600 + column] != sum ? 1 : 0;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(DefaultBinning, NullPointersAreIgnored) {
    std::int32_t pixels[4] = {1, 2, 3, 4};
    std::int32_t *grid = pixels;
    std::int32_t *none = nullptr;
    std::int32_t width = 2;
    std::int32_t height = 2;
    default_binning(nullptr, 2, &width, &height, 10);
    default_binning(&none, 2, &width, &height, 10);
    default_binning(&grid, 2, nullptr, &height, 10);
    default_binning(&grid, 2, &width, nullptr, 10);
    EXPECT_EQ(width, 2);
    EXPECT_EQ(height, 2);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(pixels[0], 1);
}

} // namespace
} // namespace plateio::host
