// The library in a host that supplies sind, cosd and binning of its own: this test program defines
// and exports them (it is linked with -rdynamic), so the library's weak references bind to them.
// They record every call, so the tests see which angles the transforms pass, in which order, and
// only when a guarded formula runs; what read_az_tra hands to binning; and that the library goes on
// with what the host's routines give back.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
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

struct Call {
    const char *routine;
    double angle;

    bool operator==(const Call &other) const {
        // The sign of a zero angle counts: a tilt of 0 negated is -0.
        return std::strcmp(routine, other.routine) == 0 &&
               std::bit_cast<std::uint64_t>(angle) == std::bit_cast<std::uint64_t>(other.angle);
    }
};

void PrintTo(const Call &call, std::ostream *out) {
    *out << call.routine << "(" << call.angle << ")";
}

enum class Binning {
    keep,            // leaves grid, width and height as they are
    shrink_in_place, // 600 x 600 of its own values, in the same block
    new_block,       // frees the grid and hands back a new 4 x 3 block
    zero_width,      // in place, width 0
    zero_height,     // in place, height 0
    negative_width,  // in place, width -3
    null_block,      // frees the grid and leaves a null pointer
};

// What the host's routines do and what they saw. A test sets it up and reads it; nothing else does.
struct Host {
    std::vector<Call> calls;
    std::optional<double> sine;   // returned by sind instead of the true value
    std::optional<double> cosine; // returned by cosd instead of the true value

    Binning binning = Binning::keep;
    int binning_calls = 0;
    std::int32_t factor = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t limit = 0;
    std::vector<std::int32_t> grid_seen;
    int descriptors_seen = 0;
};

Host &host() {
    static Host state;
    return state;
}

void reset_host() {
    host() = Host{};
}

long double radians(double degrees) {
    return static_cast<long double>(degrees) * 3.14159265358979323846264338327950288L / 180;
}

// The 600 x 600 grid the shrinking binning leaves: every 1000th pixel overflowed.
std::int32_t shrunk_pixel(std::size_t i) {
    return i % 1000 == 0 ? PIXEL_OVERFLOW : static_cast<std::int32_t>(3 * i + 1);
}

// The 4 x 3 block the replacing binning hands back.
const std::int32_t kNewBlock[12] = {PIXEL_OVERFLOW, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, PIXEL_OVERFLOW};

} // namespace
} // namespace plateio::test

using plateio::test::host;

extern "C" {

double sind(double degrees) {
    host().calls.push_back({"sind", degrees});
    return host().sine ? *host().sine : static_cast<double>(std::sin(plateio::test::radians(degrees)));
}

double cosd(double degrees) {
    host().calls.push_back({"cosd", degrees});
    return host().cosine ? *host().cosine : static_cast<double>(std::cos(plateio::test::radians(degrees)));
}

void binning(std::int32_t **grid, std::int32_t factor, std::int32_t *width, std::int32_t *height,
             std::int32_t limit) {
    using plateio::test::Binning;
    plateio::test::Host &h = host();
    ++h.binning_calls;
    h.factor = factor;
    h.width = *width;
    h.height = *height;
    h.limit = limit;
    h.descriptors_seen = plateio::test::open_descriptor_count();
    if (*grid != nullptr && *width == 1200 && *height == 1200) {
        h.grid_seen.assign(*grid, *grid + std::size_t{1200} * 1200);
    }
    switch (h.binning) {
    case Binning::keep:
        break;
    case Binning::shrink_in_place:
        for (std::size_t i = 0; i < std::size_t{600} * 600; ++i) {
            (*grid)[i] = plateio::test::shrunk_pixel(i);
        }
        *width = 600;
        *height = 600;
        break;
    case Binning::new_block: {
        auto *block = static_cast<std::int32_t *>(std::malloc(sizeof plateio::test::kNewBlock));
        std::memcpy(block, plateio::test::kNewBlock, sizeof plateio::test::kNewBlock);
        std::free(*grid);
        *grid = block;
        *width = 4;
        *height = 3;
        break;
    }
    case Binning::zero_width:
        *width = 0;
        break;
    case Binning::zero_height:
        *height = 0;
        break;
    case Binning::negative_width:
        *width = -3;
        break;
    case Binning::null_block:
        std::free(*grid);
        *grid = nullptr;
        break;
    }
}

} // extern "C"

namespace plateio::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Transform = void (*)(double *, const geometry_params *, double);

struct Sequence {
    const char *name;
    Transform transform;
    geometry_params params;
    double x, y;
    std::vector<Call> expected;
};

const geometry_params kTilted{.tilt_y = 20, .tilt_x = 10, .rotation = 30};

std::vector<Sequence> sequences() {
    return {
        // correct_cry: sind, cosd of the rotation; cosd, sind of -tilt_x when x' is computed; cosd,
        // sind of tilt_y when y' is.
        {"correct_cry, both formulas",
         correct_cry,
         kTilted,
         3,
         4,
         {{"sind", 30}, {"cosd", 30}, {"cosd", -10}, {"sind", -10}, {"cosd", 20}, {"sind", 20}}},
        {"correct_cry, x shifted to exactly 0",
         correct_cry,
         {.offset_x = 3, .tilt_y = 20, .tilt_x = 10},
         3,
         4,
         {{"sind", 0}, {"cosd", 0}, {"cosd", 20}, {"sind", 20}}},
        {"correct_cry, y shifted to exactly 0",
         correct_cry,
         {.offset_y = 4, .tilt_y = 20, .tilt_x = 10},
         3,
         4,
         {{"sind", 0}, {"cosd", 0}, {"cosd", -10}, {"sind", -10}}},
        {"correct_cry, x subnormal",
         correct_cry,
         {.tilt_y = 20, .tilt_x = 10},
         std::nextafter(0x1p-1022, 0.0),
         4,
         {{"sind", 0}, {"cosd", 0}, {"cosd", 20}, {"sind", 20}}},
        {"correct_cry, x the smallest normal",
         correct_cry,
         {.tilt_y = 20, .tilt_x = 10},
         0x1p-1022,
         4,
         {{"sind", 0}, {"cosd", 0}, {"cosd", -10}, {"sind", -10}, {"cosd", 20}, {"sind", 20}}},
        {"correct_cry, origin", correct_cry, kTilted, 0, 0, {{"sind", 30}, {"cosd", 30}}},
        {"correct_cry, NaN", correct_cry, kTilted, kNaN, 4, {{"sind", 30}, {"cosd", 30}}},
        {"correct_cry, a zero x tilt is still negated",
         correct_cry,
         {.tilt_y = -5, .rotation = -15},
         3,
         4,
         {{"sind", -15}, {"cosd", -15}, {"cosd", -0.0}, {"sind", -0.0}, {"cosd", -5}, {"sind", -5}}},
        // anti_correct: cosd, sind of -tilt_x when X is computed; cosd, sind of tilt_y when Y is;
        // then sind, cosd of -rotation.
        {"anti_correct, both formulas",
         anti_correct,
         kTilted,
         3,
         4,
         {{"cosd", -10}, {"sind", -10}, {"cosd", 20}, {"sind", 20}, {"sind", -30}, {"cosd", -30}}},
        {"anti_correct, x below 1e-20",
         anti_correct,
         kTilted,
         1e-21,
         5,
         {{"cosd", 20}, {"sind", 20}, {"sind", -30}, {"cosd", -30}}},
        {"anti_correct, x at 1e-20",
         anti_correct,
         kTilted,
         1e-20,
         5,
         {{"cosd", -10}, {"sind", -10}, {"cosd", 20}, {"sind", 20}, {"sind", -30}, {"cosd", -30}}},
        {"anti_correct, y 0",
         anti_correct,
         kTilted,
         5,
         0,
         {{"cosd", -10}, {"sind", -10}, {"sind", -30}, {"cosd", -30}}},
        {"anti_correct, origin", anti_correct, kTilted, 0, 0, {{"sind", -30}, {"cosd", -30}}},
        {"anti_correct, NaN runs both formulas",
         anti_correct,
         kTilted,
         kNaN,
         kNaN,
         {{"cosd", -10}, {"sind", -10}, {"cosd", 20}, {"sind", 20}, {"sind", -30}, {"cosd", -30}}},
        {"anti_correct, a zero rotation is still negated",
         anti_correct,
         {.tilt_y = -5, .tilt_x = -7},
         3,
         4,
         {{"cosd", 7}, {"sind", 7}, {"cosd", -5}, {"sind", -5}, {"sind", -0.0}, {"cosd", -0.0}}},
    };
}

TEST(HostRoutines, TransformsCallSindAndCosdAsEachStageNeeds) {
    ASSERT_EQ(plateio_host_routines(), PLATEIO_HOST_SIND | PLATEIO_HOST_COSD | PLATEIO_HOST_BINNING);
    for (const Sequence &s : sequences()) {
        SCOPED_TRACE(s.name);
        reset_host();
        double point[2] = {s.x, s.y};
        s.transform(point, &s.params, 200);
        EXPECT_EQ(host().calls, s.expected);
    }
}

// The batch transform asks the host's routines for each sine and cosine once, in the order the stages
// first need them, and gives the bits the point-by-point transform gives with the same routines.
TEST(HostRoutines, CorrectPointsAsksEachValueOnceAndGivesThePointByPointBits) {
    for (const Sequence &s : sequences()) {
        SCOPED_TRACE(s.name);
        // The sequence's point first, then points that take every formula.
        std::vector<double> points = {s.x, s.y, 3, 4, -5, 12, 0.5, -0.25};
        reset_host();
        std::vector<double> one_by_one = points;
        for (std::size_t i = 0; i < points.size(); i += 2) {
            s.transform(&one_by_one[i], &s.params, 200);
        }
        std::vector<Call> asked;
        for (const Call &call : host().calls) {
            if (std::find(asked.begin(), asked.end(), call) == asked.end()) {
                asked.push_back(call);
            }
        }
        reset_host();
        std::vector<double> batch = points;
        plateio_correct_points(batch.data(), batch.size() / 2, &s.params, 200,
                               s.transform == anti_correct ? 1 : 0);
        EXPECT_EQ(host().calls, asked);
        EXPECT_EQ(std::memcmp(batch.data(), one_by_one.data(), batch.size() * sizeof(double)), 0);
    }
}

TEST(HostRoutines, TransformsUseTheValuesTheHostGives) {
    // A host whose sine is always 0.6 and cosine always 0.8: every stage must use exactly these.
    // correct_cry on (5, 0): the rotation gives (4, 3); the perspective stages 0.8 / (1/4 - 0.6/200)
    // and 0.8 / (1/3 - 0.6/200).
    reset_host();
    host().sine = 0.6;
    host().cosine = 0.8;
    const geometry_params none{};
    double point[2] = {5, 0};
    correct_cry(point, &none, 200);
    EXPECT_NEAR(point[0], 3.2388663967611335, 1e-14);
    EXPECT_NEAR(point[1], 2.4217961654894045, 1e-14);

    // anti_correct on (4, 3): X = 1 / (0.8/4 + 0.6/200), Y = 1 / (0.8/3 + 0.6/200), then turned by
    // (cos, sin) = (0.8, 0.6).
    double back[2] = {4, 3};
    anti_correct(back, &none, 200);
    EXPECT_NEAR(back[0], 1.7159176018559676, 1e-14);
    EXPECT_NEAR(back[1], 5.92229048816577, 1e-14);
}

// ---- read_az_tra and the host's binning ------------------------------------------------------------

class ReadAzTraBinning : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_host();
        file_ = plate_exposure();
        path_ = dir_.write("plate.tra", writers::encode_tra(file_));
    }

    // Reads the plate into `cells` through `map`; the target's count and aux_value start non-zero.
    std::int32_t read(std::int32_t grid_mode, std::vector<std::int32_t> &map,
                      std::vector<std::int32_t> &cells, remap_target &target) {
        std::int32_t *map_pointer = map.data();
        target = remap_target{cells.data(), grid_mode, static_cast<std::int32_t>(cells.size()), 77, 3.25};
        return read_az_tra(path_.c_str(), &target, &map_pointer);
    }

    TempDir dir_;
    writers::TraFile file_;
    std::string path_;
};

std::vector<std::int32_t> identity_map(std::size_t size, std::size_t extra, std::int32_t extra_cell) {
    std::vector<std::int32_t> map(size + extra, extra_cell);
    for (std::size_t i = 0; i < size; ++i) {
        map[i] = static_cast<std::int32_t>(i);
    }
    return map;
}

TEST_F(ReadAzTraBinning, GridMode600NeverCallsBinning) {
    std::vector<std::int32_t> map = identity_map(kTraPixels, 0, 0);
    std::vector<std::int32_t> cells(kTraPixels, -7);
    remap_target target{};
    ASSERT_EQ(read(600, map, cells, target), 1);
    EXPECT_EQ(host().binning_calls, 0);
    EXPECT_EQ(cells, marked_grid(file_));
    EXPECT_TRUE(host().calls.empty());
}

TEST_F(ReadAzTraBinning, AnyOtherGridModeCallsBinningOnceWithTheMarkedGrid) {
    const std::vector<std::int32_t> grid = marked_grid(file_);
    for (const std::int32_t grid_mode : {1200, 0, -1, 599, 601, std::numeric_limits<std::int32_t>::min()}) {
        SCOPED_TRACE("grid_mode " + std::to_string(grid_mode));
        reset_host();
        std::vector<std::int32_t> map = identity_map(kTraPixels, 0, 0);
        std::vector<std::int32_t> cells(kTraPixels, -7);
        remap_target target{};
        const int descriptors = open_descriptor_count();
        ASSERT_EQ(read(grid_mode, map, cells, target), 1);
        EXPECT_EQ(host().binning_calls, 1);
        EXPECT_EQ(host().factor, 2);
        EXPECT_EQ(host().width, 1200);
        EXPECT_EQ(host().height, 1200);
        EXPECT_EQ(host().limit, 9999999);
        EXPECT_TRUE(host().grid_seen == grid) << "binning was not handed the 1200 x 1200 grid, 65535 marked";
        EXPECT_EQ(host().descriptors_seen, descriptors) << "the file was still open when binning ran";
        // A binning that changes nothing: the whole grid is copied as without binning.
        EXPECT_TRUE(cells == grid);
        EXPECT_EQ(target.overload_count, std::count(grid.begin(), grid.end(), PIXEL_OVERFLOW));
        EXPECT_EQ(target.aux_value, 0.0);
    }
}

TEST_F(ReadAzTraBinning, TheSizeAndPixelsBinningLeavesAreTheOnesCopiedAndCounted) {
    host().binning = Binning::shrink_in_place;
    constexpr std::size_t kShrunk = std::size_t{600} * 600;
    // 360 000 entries for the binned grid, then entries that a copy at the old width would read,
    // all pointing at a sentinel cell.
    std::vector<std::int32_t> map =
        identity_map(kShrunk, kTraPixels - kShrunk, static_cast<std::int32_t>(kShrunk));
    std::vector<std::int32_t> cells(kShrunk + 1, -7);
    remap_target target{};
    ASSERT_EQ(read(1200, map, cells, target), 1);
    ASSERT_EQ(host().binning_calls, 1);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < kShrunk; ++i) {
        mismatches += cells[i] != shrunk_pixel(i) ? 1 : 0;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(cells[kShrunk], -7) << "the copy read more than 600 x 600 map entries";
    // Counted on the binned values: 360 of them, whatever the file's own saturated pixels were.
    EXPECT_EQ(target.overload_count, 360);
    EXPECT_EQ(target.aux_value, 0.0);
}

TEST_F(ReadAzTraBinning, ANewBlockFromBinningIsCopiedAndFreedAndTheOldOneIsLeftToBinning) {
    host().binning = Binning::new_block;
    // The map reverses the 4 x 3 block; a 13th entry points at a sentinel cell.
    std::vector<std::int32_t> map = {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 12};
    std::vector<std::int32_t> cells(13, -7);
    remap_target target{};
    ASSERT_EQ(read(1200, map, cells, target), 1);
    EXPECT_EQ(cells,
              (std::vector<std::int32_t>{PIXEL_OVERFLOW, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, PIXEL_OVERFLOW, -7}));
    EXPECT_EQ(target.overload_count, 2);
    EXPECT_EQ(target.aux_value, 0.0);

    // binning frees the old grid itself; the library frees the new block and nothing else. A double
    // free would abort here, a leak would show in the heap (and under the leak checker).
    const std::size_t heap = heap_in_use();
    for (int i = 0; i < 20; ++i) {
        read(1200, map, cells, target);
    }
    EXPECT_EQ(heap_in_use(), heap);
}

TEST_F(ReadAzTraBinning, AnEmptyOrMissingBlockCopiesNothing) {
    struct Case {
        const char *name;
        Binning binning;
    };
    const Case cases[] = {
        {"width 0", Binning::zero_width},
        {"height 0", Binning::zero_height},
        {"negative width", Binning::negative_width},
        {"null block", Binning::null_block},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_host();
        host().binning = c.binning;
        std::vector<std::int32_t> map = identity_map(kTraPixels, 0, 0);
        std::vector<std::int32_t> cells(kTraPixels, -7);
        remap_target target{};
        ASSERT_EQ(read(1200, map, cells, target), 1);
        EXPECT_EQ(host().binning_calls, 1);
        EXPECT_TRUE(cells == std::vector<std::int32_t>(kTraPixels, -7));
        EXPECT_EQ(target.overload_count, 0);
        EXPECT_EQ(target.aux_value, 0.0);

        // The block binning left (the grid itself, or none) is freed all the same.
        const std::size_t heap = heap_in_use();
        for (int i = 0; i < 5; ++i) {
            read(1200, map, cells, target);
        }
        EXPECT_EQ(heap_in_use(), heap);
    }
}

} // namespace
} // namespace plateio::test
