// correct_cry and anti_correct through the exported names, with the library's own sind and cosd:
// every stage alone and together, the guards on both sides, the origin and non-finite points, round
// trips where the inverse is exact and the residual where it is meant not to be, and the order in
// which the two coordinates are written back.
//
// The expected values were worked out apart from the library, at 200-bit precision, from the
// geometric description of each stage (a rotation matrix; a point in polar coordinates whose radius
// grows and whose angle turns by arc / radius; a central projection from a tilted line), and are
// given to 17 digits. Comparisons allow 1e-11 relative: the 32-bit build computes with x87 registers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "plateio.h"

// Parameter sets name the members they set with designated initializers; the others are zero on
// purpose, which GCC 12 still reports as missing.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace plateio::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kSmallestNormal = 0x1p-1022;
constexpr double kRelative = 1e-11;

// Exact where the expectation is 0 or NaN (those come from the guards or the IEEE rules, never from
// rounding), within kRelative of it otherwise.
void expect_value(double actual, double expected, const char *axis) {
    SCOPED_TRACE(axis);
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << actual;
    } else if (expected == 0.0) {
        EXPECT_EQ(actual, 0.0);
    } else {
        EXPECT_NEAR(actual, expected, kRelative * std::fabs(expected));
    }
}

struct Case {
    const char *name;
    geometry_params params;
    double distance;
    double x, y;
    double expected_x, expected_y;
};

using Transform = void (*)(double *, const geometry_params *, double);

void check(const Case &c, Transform transform) {
    SCOPED_TRACE(c.name);
    double point[2] = {c.x, c.y};
    const geometry_params params = c.params;
    transform(point, &params, c.distance);
    expect_value(point[0], c.expected_x, "x");
    expect_value(point[1], c.expected_y, "y");
}

const Case kCorrections[] = {
    {"no parameters: (3, 4) unchanged", {}, 200, 3, 4, 3, 4},
    {"no parameters: (0, 4) unchanged", {}, 200, 0, 4, 0, 4},
    {"no parameters: (-2.5, 0) unchanged", {}, 200, -2.5, 0, -2.5, 0},
    {"rotation 30", {.rotation = 30}, 200, 3, 4, 0.59807621135331594, 4.9641016151377546},
    {"rotation 90 turns +x into +y", {.rotation = 90}, 200, 1, 0, 0, 1},
    {"rotation -90 turns +y into +x", {.rotation = -90}, 200, 0, 1, 1, 0},
    {"rotation 180", {.rotation = 180}, 200, 3, 4, -3, -4},
    {"rotation 450 is rotation 90", {.rotation = 450}, 200, 2, 0, 0, 2},
    {"radial shift 0.3", {.radial_shift = 0.3}, 200, 3, 4, 3.18, 4.24},
    {"tangential shift 0.5 turns by 0.1 rad at radius 5",
     {.tangential_shift = 0.5},
     200,
     3,
     4,
     2.5856788292467647,
     4.2795169110525875},
    {"offsets 1 and -2", {.offset_x = 1, .offset_y = -2}, 200, 3, 4, 2, 6},
    {"tilt_x 10", {.tilt_x = 10}, 200, 3, 4, 2.9467477982584499, 4},
    {"tilt_y 10 tilts the other way", {.tilt_y = 10}, 200, 3, 4, 3, 3.9529594963073313},
    {"tilt_x -25 with tilt_y 40",
     {.tilt_y = 40, .tilt_x = -25},
     200,
     3,
     4,
     2.7362693218769404,
     3.1040830955409352},
    {"distance offset 2", {.distance_offset = 2}, 200, 3, 4, 2.97, 3.96},
    {"radial shift 0.3 with offset_x 1", {.radial_shift = 0.3, .offset_x = 1}, 200, 3, 4, 2.18, 4.24},
    {"radial shift -10 carries the point through the origin", {.radial_shift = -10}, 200, 3, 4, -3, -4},
    {"radial shift -10 lands (6, 8) on the origin", {.radial_shift = -10}, 200, 6, 8, 0, 0},
    {"rotation, radial and tangential shift together",
     {.radial_shift = 0.3, .tangential_shift = 0.5, .rotation = 30},
     200,
     3,
     4,
     0.10547540242675083,
     5.298950362051235},
    {"every stage, distance 150",
     {.radial_shift = 1.5,
      .tangential_shift = -0.8,
      .offset_x = 0.4,
      .offset_y = -1.1,
      .distance_offset = 3,
      .tilt_y = -8,
      .tilt_x = 12,
      .rotation = -47},
     150,
     -7.5,
     2.25,
     -3.525390369380601,
     9.4669479678413166},
    {"every stage, far from the centre, distance 250",
     {.radial_shift = -0.6,
      .tangential_shift = 0.3,
      .offset_x = -2,
      .offset_y = 1,
      .tilt_y = -2,
      .tilt_x = 3,
      .rotation = 0.25},
     250,
     120,
     -80,
     118.80972139712249,
     -80.747461188522984},
    // The guard on the shifted coordinate, 2^-1022, from both sides. With y = 4 the radius is 4, so
    // the shifted x is the input x exactly, and the formula gives 1 / (1 / x) = x.
    {"guard: offset_x 3 makes x exactly 0", {.offset_x = 3}, 200, 3, 4, 0, 4},
    {"guard: x at the smallest normal runs the formula", {}, 200, kSmallestNormal, 4, kSmallestNormal, 4},
    {"guard: the largest subnormal x becomes 0", {}, 200, std::nextafter(kSmallestNormal, 0.0), 4, 0, 4},
    {"guard: y at the smallest normal runs the formula", {}, 200, 4, kSmallestNormal, 4, kSmallestNormal},
    {"guard: the largest subnormal y becomes 0", {}, 200, 4, std::nextafter(kSmallestNormal, 0.0), 4, 0},
    {"origin with no parameters", {}, 200, 0, 0, 0, 0},
    {"origin with every parameter",
     {.radial_shift = 1,
      .tangential_shift = 2,
      .offset_x = 1,
      .offset_y = -2,
      .distance_offset = 5,
      .tilt_y = 7,
      .tilt_x = 9,
      .rotation = 30},
     200,
     0,
     0,
     0,
     0},
    {"origin with offsets stays at the origin", {.offset_x = 1, .offset_y = -2}, 200, 0, 0, 0, 0},
    {"just off the origin the offsets apply", {.offset_x = 1, .offset_y = -2}, 200, 0.001, 0, -0.999, 2},
    {"infinite x", {}, 200, kInfinity, 4, 0, 0},
    {"infinite y", {.rotation = 10}, 200, 3, -kInfinity, 0, 0},
    {"NaN x", {}, 200, kNaN, 4, 0, 0},
    {"NaN y", {.offset_x = 1}, 200, 3, kNaN, 0, 0},
};

TEST(CorrectCry, MatchesIndependentlyWorkedValues) {
    for (const Case &c : kCorrections) {
        check(c, correct_cry);
    }
}

const Case kInverses[] = {
    {"no parameters: (3, 4) unchanged", {}, 200, 3, 4, 3, 4},
    {"no parameters: (0, 4) unchanged", {}, 200, 0, 4, 0, 4},
    {"no parameters: (-2.5, 0) unchanged", {}, 200, -2.5, 0, -2.5, 0},
    {"rotation 30 undone", {.rotation = 30}, 200, 0.59807621135331594, 4.9641016151377546, 3, 4},
    {"rotation 30 turns the other way", {.rotation = 30}, 200, 3, 4, 4.5980762113533159, 1.9641016151377546},
    {"rotation 90 turns +y into +x", {.rotation = 90}, 200, 0, 1, 1, 0},
    {"radial shift 0.3 undone", {.radial_shift = 0.3}, 200, 3.18, 4.24, 3, 4},
    {"tilt_x 10 undone", {.tilt_x = 10}, 200, 2.9467477982584499, 4, 3, 4},
    {"tilt_y 10 undone", {.tilt_y = 10}, 200, 3, 3.9529594963073313, 3, 4},
    {"tilt_x -25 with tilt_y 40",
     {.tilt_y = 40, .tilt_x = -25},
     200,
     3,
     4,
     3.2871414682859661,
     5.1354461381205594},
    {"distance offset 2 leaves a residual",
     {.distance_offset = 2},
     200,
     2.97,
     3.96,
     2.9997000000000002,
     3.9996},
    {"radial shift with offset leaves a residual",
     {.radial_shift = 0.3, .offset_x = 1},
     200,
     2.18,
     4.24,
     2.9798992774523284,
     3.9731990366031046},
    {"radial shift -10 from (-3, -4)", {.radial_shift = -10}, 200, -3, -4, -9, -12},
    {"rotation, radial and tangential shift undone",
     {.radial_shift = 0.3, .tangential_shift = 0.5, .rotation = 30},
     200,
     0.10547540242675083,
     5.298950362051235,
     3,
     4},
    {"radial, tangential, offsets and rotation",
     {.radial_shift = 0.7, .tangential_shift = 0.2, .offset_x = 1.25, .offset_y = -0.5, .rotation = 15},
     200,
     5,
     -2,
     4.5668421640582528,
     -3.66633735940557},
    {"every stage, distance 150",
     {.radial_shift = 1.5,
      .tangential_shift = -0.8,
      .offset_x = 0.4,
      .offset_y = -1.1,
      .distance_offset = 3,
      .tilt_y = -8,
      .tilt_x = 12,
      .rotation = -47},
     150,
     -7.5,
     2.25,
     -4.2407857344670476,
     -4.2650750188960502},
    {"guard: offset_x 3 restores x from 0", {.offset_x = 3}, 200, 0, 4, 3, 4},
    {"guard: x below 1e-20 is taken as 0", {}, 200, 1e-21, 5, 0, 5},
    {"guard: x 0 and x 1e-21 give the offsets", {.offset_x = 1, .offset_y = -2}, 200, 0, 5, 1, 3},
    {"guard: x 1e-21 gives the offsets", {.offset_x = 1, .offset_y = -2}, 200, 1e-21, 5, 1, 3},
    // At exactly 1e-20 the formula runs and undoes the tilt (x / cos 20 degrees); just below, the
    // guard stores 0.
    {"guard: x at 1e-20 runs the formula", {.tilt_x = 20}, 200, 1e-20, 5, 1.0641777724759121e-20, 5},
    {"guard: x just below 1e-20 is 0", {.tilt_x = 20}, 200, std::nextafter(1e-20, 0.0), 5, 0, 5},
    {"guard: y at -1e-20 runs the formula", {.tilt_y = -20}, 200, 5, -1e-20, 5, -1.0641777724759121e-20},
    {"guard: y just above -1e-20 is 0", {.tilt_y = -20}, 200, 5, std::nextafter(-1e-20, 0.0), 5, 0},
    {"origin gives NaN", {}, 200, 0, 0, kNaN, kNaN},
    {"origin gives NaN with every parameter",
     {.radial_shift = 1, .offset_x = 1, .offset_y = -2, .distance_offset = 5, .rotation = 30},
     200,
     0,
     0,
     kNaN,
     kNaN},
    {"NaN x", {}, 200, kNaN, 4, kNaN, kNaN},
    {"NaN y", {.offset_x = 1}, 200, 3, kNaN, kNaN, kNaN},
};

TEST(AntiCorrect, MatchesIndependentlyWorkedValues) {
    for (const Case &c : kInverses) {
        check(c, anti_correct);
    }
}

// Parameters under which anti_correct undoes correct_cry exactly, and correct_cry anti_correct: no
// distance offset, and a radial shift only where there are no offsets and tilts.
struct Exact {
    const char *name;
    geometry_params params;
    double distance;
};

const Exact kExactInverses[] = {
    {"rotation only", {.rotation = 123.4}, 200},
    {"twist only", {.tangential_shift = -1.7}, 200},
    {"offsets and tilts", {.offset_x = -3.5, .offset_y = 2.25, .tilt_y = 14, .tilt_x = -21}, 90},
    {"everything but radial shift and distance offset",
     {.tangential_shift = 0.9,
      .offset_x = 1.5,
      .offset_y = -0.7,
      .tilt_y = -20,
      .tilt_x = 15,
      .rotation = -130},
     180},
    {"radial shift with twist and rotation",
     {.radial_shift = 0.8, .tangential_shift = 0.4, .rotation = 25},
     200},
    {"negative radial shift that keeps the radius positive", {.radial_shift = -0.4, .rotation = -60}, 200},
};

const double kRoundTripPoints[][2] = {{3, 4}, {-12, 5}, {40, -75}, {-0.5, -2.25}, {7, 0.125}};

TEST(Geometry, InverseIsExactWithoutDistanceOffsetAndRadialCoupling) {
    for (const Exact &e : kExactInverses) {
        for (const auto &p : kRoundTripPoints) {
            SCOPED_TRACE(std::string(e.name) + " at (" + std::to_string(p[0]) + ", " + std::to_string(p[1]) +
                         ")");
            const double tolerance = kRelative * std::hypot(p[0], p[1]);
            double forward[2] = {p[0], p[1]};
            correct_cry(forward, &e.params, e.distance);
            EXPECT_GT(std::hypot(forward[0] - p[0], forward[1] - p[1]), 1e-6) << "the correction did nothing";
            anti_correct(forward, &e.params, e.distance);
            EXPECT_NEAR(forward[0], p[0], tolerance);
            EXPECT_NEAR(forward[1], p[1], tolerance);

            double backward[2] = {p[0], p[1]};
            anti_correct(backward, &e.params, e.distance);
            correct_cry(backward, &e.params, e.distance);
            EXPECT_NEAR(backward[0], p[0], tolerance);
            EXPECT_NEAR(backward[1], p[1], tolerance);
        }
    }
}

TEST(Geometry, DistanceOffsetLeavesTheSquaredScaleResidual) {
    // With nothing but the distance offset, either order scales the point by 1 - (offset / distance)^2.
    struct Residual {
        const char *name;
        double distance_offset;
        double distance;
    };
    const Residual residuals[] = {{"2 at 200", 2, 200}, {"-5 at 100", -5, 100}, {"30 at 120", 30, 120}};
    for (const Residual &r : residuals) {
        SCOPED_TRACE(r.name);
        const geometry_params params{.distance_offset = r.distance_offset};
        const double factor = 1 - (r.distance_offset / r.distance) * (r.distance_offset / r.distance);
        for (const auto &p : kRoundTripPoints) {
            double forward[2] = {p[0], p[1]};
            correct_cry(forward, &params, r.distance);
            anti_correct(forward, &params, r.distance);
            EXPECT_NEAR(forward[0], p[0] * factor, kRelative * std::fabs(p[0]));
            EXPECT_NEAR(forward[1], p[1] * factor, kRelative * std::fabs(p[1]));

            double backward[2] = {p[0], p[1]};
            anti_correct(backward, &params, r.distance);
            correct_cry(backward, &params, r.distance);
            EXPECT_NEAR(backward[0], p[0] * factor, kRelative * std::fabs(p[0]));
            EXPECT_NEAR(backward[1], p[1] * factor, kRelative * std::fabs(p[1]));
        }
    }
}

TEST(Geometry, EveryStageTogetherLeavesTheWorkedResidual) {
    const geometry_params params{.radial_shift = 1.5,
                                 .tangential_shift = -0.8,
                                 .offset_x = 0.4,
                                 .offset_y = -1.1,
                                 .distance_offset = 3,
                                 .tilt_y = -8,
                                 .tilt_x = 12,
                                 .rotation = -47};
    double forward[2] = {-7.5, 2.25};
    correct_cry(forward, &params, 150);
    anti_correct(forward, &params, 150);
    expect_value(forward[0], -7.6030785717978769, "x after correct_cry, anti_correct");
    expect_value(forward[1], 2.2927631156537885, "y after correct_cry, anti_correct");

    double backward[2] = {-7.5, 2.25};
    anti_correct(backward, &params, 150);
    correct_cry(backward, &params, 150);
    expect_value(backward[0], -7.5692105738813305, "x after anti_correct, correct_cry");
    expect_value(backward[1], 2.2609785830714495, "y after anti_correct, correct_cry");
}

TEST(Geometry, ParametersAreOnlyRead) {
    const geometry_params original{.radial_shift = 1.5,
                                   .tangential_shift = -0.8,
                                   .offset_x = 0.4,
                                   .offset_y = -1.1,
                                   .distance_offset = 3,
                                   .tilt_y = -8,
                                   .tilt_x = 12,
                                   .rotation = -47};
    geometry_params params = original;
    double point[2] = {3, 4};
    correct_cry(point, &params, 150);
    anti_correct(point, &params, 150);
    EXPECT_EQ(std::memcmp(&params, &original, sizeof params), 0);
}

// The order of the two stores, seen from memory that cannot take the second one: the point straddles
// a page boundary, x on a shared writable page, y on a read-only page after it. The store to y
// faults, and whether x had already changed by then tells the order. The pages are shared, so the
// parent sees what the dying child wrote.
class StraddlingPoint {
  public:
    StraddlingPoint() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void *base = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            return;
        }
        base_ = static_cast<char *>(base);
        point_ = reinterpret_cast<double *>(base_ + page_ - sizeof(double));
        point_[0] = 3;
        point_[1] = 4;
        if (mprotect(base_ + page_, page_, PROT_READ) != 0) {
            point_ = nullptr;
        }
    }
    ~StraddlingPoint() {
        if (base_ != nullptr) {
            munmap(base_, 2 * page_);
        }
    }
    StraddlingPoint(const StraddlingPoint &) = delete;
    StraddlingPoint &operator=(const StraddlingPoint &) = delete;

    double *point() const { return point_; }

  private:
    std::size_t page_ = 0;
    char *base_ = nullptr;
    double *point_ = nullptr;
};

void without_core_dump() {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

TEST(GeometryWriteOrderDeathTest, CorrectCryStoresYBeforeX) {
    GTEST_FLAG_SET(death_test_style, "fast");
    StraddlingPoint memory;
    ASSERT_NE(memory.point(), nullptr);
    const geometry_params params{.rotation = 90};
    EXPECT_DEATH(
        {
            without_core_dump();
            correct_cry(memory.point(), &params, 200);
        },
        "");
    EXPECT_EQ(memory.point()[0], 3.0) << "x was stored before y";
}

TEST(GeometryWriteOrderDeathTest, AntiCorrectStoresXBeforeY) {
    GTEST_FLAG_SET(death_test_style, "fast");
    StraddlingPoint memory;
    ASSERT_NE(memory.point(), nullptr);
    const geometry_params params{.rotation = 90};
    EXPECT_DEATH(
        {
            without_core_dump();
            anti_correct(memory.point(), &params, 200);
        },
        "");
    // (3, 4) turned by -90 degrees is (4, -3): x is written, then the store of y faults.
    EXPECT_NEAR(memory.point()[0], 4.0, 1e-12) << "x was not stored before y";
}

} // namespace
} // namespace plateio::test
