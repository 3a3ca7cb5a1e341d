// read_az_tra at the full grid size (grid_mode 600, so binning is never involved): where each pixel
// lands, which map entries drop their pixel, the overwrite order, the overflow count, every way a
// file is refused, and resources over many calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "plateio.h"
#include "support/console.hpp"
#include "support/leak_check.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "support/tra_exposure.hpp"
#include "tra_writer.hpp"

namespace plateio::test {
namespace {

constexpr std::int32_t kUntouched = -7;
const std::string kFailure = "# \x1b[0mERROR\x1b[0m READING ";

// A target as a host sets it up, with values in overload_count and aux_value that a call must replace.
remap_target target_for(std::vector<std::int32_t> &cells, std::int32_t grid_mode) {
    remap_target target{};
    target.cells = cells.data();
    target.grid_mode = grid_mode;
    target.cell_count = static_cast<std::int32_t>(cells.size());
    target.overload_count = 1234;
    target.aux_value = 42.5;
    return target;
}

TEST(ReadAzTra, FullGridPixelLandsInTheCellItsMapEntryNames) {
    TempDir dir;
    const writers::TraFile file = plate_exposure();
    const std::string path = dir.write("plate.tra", writers::encode_tra(file));
    const std::vector<std::int32_t> grid = marked_grid(file);

    // The map reverses the grid, so a reader that ignored it (or read it backwards) would be caught.
    std::vector<std::int32_t> map(kTraPixels);
    for (std::size_t i = 0; i < map.size(); ++i) {
        map[i] = static_cast<std::int32_t>(kTraPixels - 1 - i);
    }
    std::int32_t *map_pointer = map.data();
    std::vector<std::int32_t> cells(kTraPixels, kUntouched);
    remap_target target = target_for(cells, 600);

    ASSERT_EQ(read_az_tra(path.c_str(), &target, &map_pointer), 1);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        mismatches += cells[kTraPixels - 1 - i] != grid[i] ? 1 : 0;
    }
    EXPECT_EQ(mismatches, 0u);
    const auto saturated = std::count(grid.begin(), grid.end(), PIXEL_OVERFLOW);
    ASSERT_GT(saturated, 1000);
    EXPECT_EQ(target.overload_count, saturated);
    EXPECT_EQ(target.aux_value, 0.0);
    EXPECT_EQ(target.cells, cells.data());
    EXPECT_EQ(target.grid_mode, 600);
    EXPECT_EQ(target.cell_count, static_cast<std::int32_t>(kTraPixels));
}

// A small exposure: row 0 records columns 598 to 601, row 1199 the same columns.
constexpr std::size_t kRow0 = 0;
constexpr std::size_t kRow1199 = std::size_t{1199} * 1200;

std::string small_exposure(const TempDir &dir) {
    writers::TraFile file;
    file.row_table[0] = 4; // half-width 2
    file.stream = {5, 65535, 7, 65535, /* row 1199: */ 9, 65535, 3, 12};
    return dir.write("small.tra", writers::encode_tra(file));
}

struct Entry {
    std::size_t grid_index;
    std::int32_t cell;
};

struct MapCase {
    const char *name;
    std::vector<Entry> entries; // every other map entry is -1
    std::int32_t cell_count;
    std::vector<std::int32_t> expected_cells; // of 10 cells; the rest stay kUntouched
    std::int32_t expected_overflows;
};

const std::int32_t U = kUntouched;
const std::int32_t O = PIXEL_OVERFLOW;

const MapCase kMapCases[] = {
    {"-1 drops a saturated pixel", {{kRow0 + 599, -1}}, 10, {U, U, U, U, U, U, U, U, U, U}, 0},
    {"cell_count drops a saturated pixel", {{kRow0 + 599, 10}}, 10, {U, U, U, U, U, U, U, U, U, U}, 0},
    {"cell_count - 1 takes it", {{kRow0 + 599, 9}}, 10, {U, U, U, U, U, U, U, U, U, O}, 1},
    {"cell 0 takes it", {{kRow0 + 598, 0}}, 10, {5, U, U, U, U, U, U, U, U, U}, 0},
    {"INT32_MIN and INT32_MAX drop their pixels",
     {{kRow0 + 599, INT32_MIN}, {kRow0 + 601, INT32_MAX}, {kRow0 + 600, 2}},
     10,
     {U, U, 7, U, U, U, U, U, U, U},
     0},
    {"an entry inside the array but beyond cell_count drops",
     {{kRow0 + 599, 5}},
     5,
     {U, U, U, U, U, U, U, U, U, U},
     0},
    {"cell_count 0 stores nothing",
     {{kRow0 + 598, 0}, {kRow0 + 599, 1}},
     0,
     {U, U, U, U, U, U, U, U, U, U},
     0},
    {"the later pixel wins: 5 then 7",
     {{kRow0 + 598, 3}, {kRow0 + 600, 3}},
     10,
     {U, U, U, 7, U, U, U, U, U, U},
     0},
    {"the later pixel wins: 7 then 3 a row further",
     {{kRow0 + 600, 3}, {kRow1199 + 600, 3}},
     10,
     {U, U, U, 3, U, U, U, U, U, U},
     0},
    {"an overwritten overflow still counts",
     {{kRow0 + 599, 4}, {kRow1199 + 599, 4}, {kRow1199 + 601, 4}},
     10,
     {U, U, U, U, 12, U, U, U, U, U},
     2},
    {"three saturated pixels in three cells",
     {{kRow0 + 599, 1}, {kRow0 + 601, 6}, {kRow1199 + 599, 8}, {kRow1199 + 598, 7}},
     10,
     {U, O, U, U, U, U, O, 9, O, U},
     3},
    {"pixels outside the spans are copied as 0",
     {{kRow0 + 597, 0}, {kRow0 + 602, 1}, {600 * 1200 + 5, 2}},
     10,
     {0, 0, 0, U, U, U, U, U, U, U},
     0},
};

TEST(ReadAzTra, MapEntriesOutsideTheCellsDropTheirPixelAndLaterPixelsWin) {
    TempDir dir;
    const std::string path = small_exposure(dir);
    for (const MapCase &c : kMapCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::int32_t> map(kTraPixels, -1);
        for (const Entry &e : c.entries) {
            map[e.grid_index] = e.cell;
        }
        std::int32_t *map_pointer = map.data();
        std::vector<std::int32_t> cells(10, kUntouched);
        remap_target target = target_for(cells, 600);
        target.cell_count = c.cell_count;
        ASSERT_EQ(read_az_tra(path.c_str(), &target, &map_pointer), 1);
        EXPECT_EQ(cells, c.expected_cells);
        EXPECT_EQ(target.overload_count, c.expected_overflows);
        EXPECT_EQ(target.aux_value, 0.0);
    }
}

struct Damage {
    const char *name;
    std::vector<std::uint8_t> bytes;
    bool create = true;
};

std::vector<std::uint8_t> truncated(std::vector<std::uint8_t> bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}

std::vector<Damage> damaged_files() {
    writers::TraFile small;
    small.row_table[0] = 4;
    small.stream = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto good = writers::encode_tra(small);
    writers::TraFile too_wide;
    too_wide.row_table[17] = 1202; // half-width 601
    too_wide.stream.assign(4 * 601, 65535);
    return {
        {"missing file", {}, false},
        {"empty file", {}},
        {"header only", truncated(good, 336)},
        {"row table cut short", truncated(good, 1000)},
        {"stream one value short", truncated(good, good.size() - 2)},
        {"stream ends inside a value", truncated(good, good.size() - 1)},
        {"half-width 601", writers::encode_tra(too_wide)},
    };
}

TEST(ReadAzTra, UnreadableFilesAreRefusedAndOnlyTheCountIsReset) {
    TempDir dir;
    for (const Damage &d : damaged_files()) {
        for (const std::int32_t grid_mode : {600, 1200}) {
            SCOPED_TRACE(std::string(d.name) + ", grid_mode " + std::to_string(grid_mode));
            const std::string path = d.create ? dir.write("damaged.tra", d.bytes) : dir.file("absent.tra");
            std::vector<std::int32_t> cells(16, kUntouched);
            std::vector<std::int32_t> map(kTraPixels, 3);
            std::int32_t *map_pointer = map.data();
            remap_target target = patterned<remap_target>();
            target.cells = cells.data();
            target.grid_mode = grid_mode;
            target.cell_count = 16;
            remap_target expected = target;
            expected.overload_count = 0;

            std::int32_t result = -1;
            const int descriptors = open_descriptor_count();
            const std::string printed =
                capture_stdout([&] { result = read_az_tra(path.c_str(), &target, &map_pointer); });
            EXPECT_EQ(result, 0);
            EXPECT_EQ(printed, kFailure + path + "\n");
            EXPECT_TRUE(same_bytes(target, expected));
            EXPECT_EQ(target.overload_count, 0);
            EXPECT_EQ(cells, std::vector<std::int32_t>(16, kUntouched));
            EXPECT_EQ(map_pointer, map.data());
            EXPECT_EQ(open_descriptor_count(), descriptors);
        }
    }
}

TEST(ReadAzTra, PathIsPrintedVerbatim) {
    TempDir dir;
    const std::string path = dir.file("50%s of %d.tra");
    std::vector<std::int32_t> cells(4, kUntouched);
    std::int32_t *map_pointer = nullptr;
    remap_target target = target_for(cells, 600);
    EXPECT_EQ(capture_stdout([&] { read_az_tra(path.c_str(), &target, &map_pointer); }),
              kFailure + path + "\n");
    EXPECT_EQ(target.aux_value, 42.5);
}

TEST(ReadAzTra, AThousandCallsLeaveNoDescriptorAndNoBlock) {
    TempDir dir;
    const std::string good = small_exposure(dir);
    const std::string damaged = dir.write("damaged.tra", std::vector<std::uint8_t>(1000, 0));
    const std::string missing = dir.file("missing.tra");
    std::vector<std::int32_t> map(kTraPixels, -1);
    map[599] = 0;
    std::int32_t *map_pointer = map.data();
    std::vector<std::int32_t> cells(4, kUntouched);
    const auto every_path_once = [&] {
        for (const std::string *path : {&good, &damaged, &missing}) {
            // 600 copies the grid; 1200 bins it first with the built-in binning.
            for (const std::int32_t grid_mode : {600, 1200}) {
                remap_target target = target_for(cells, grid_mode);
                read_az_tra(path->c_str(), &target, &map_pointer);
            }
        }
    };
    expect_rounds_keep_nothing(every_path_once);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Address space now in use by this process, in bytes.
rlim_t address_space_in_use() {
    unsigned long pages = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1) {
            pages = 0;
        }
        std::fclose(statm);
    }
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// Caps the address space a little above what is in use, so that the 5.8 MB grid cannot be had, and
// reads a binned exposure (the full grid needs none: it scatters row by row): the call must fail
// cleanly, with the count reset and nothing else changed. Runs in a child.
bool refused_without_memory(const std::string &path, std::vector<std::int32_t> &cells,
                            std::vector<std::int32_t> &map) {
    remap_target target = target_for(cells, 1200);
    std::int32_t *map_pointer = map.data();
    const rlim_t cap = address_space_in_use() + (rlim_t{1} << 20);
    const rlimit limit{cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        return false;
    }
    const std::int32_t result = read_az_tra(path.c_str(), &target, &map_pointer);
    std::fflush(stdout);
    return result == 0 && target.overload_count == 0 && target.aux_value == 42.5 &&
           cells == std::vector<std::int32_t>(cells.size(), kUntouched);
}

TEST(ReadAzTraDeathTest, NoMemoryForTheGridIsRefused) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizer's allocator reserves far more address space than a limit allows";
    }
    GTEST_FLAG_SET(death_test_style, "fast");
    TempDir dir;
    const std::string path = small_exposure(dir);
    std::vector<std::int32_t> map(kTraPixels, 0);
    std::vector<std::int32_t> cells(4, kUntouched);
    EXPECT_EXIT(std::_Exit(refused_without_memory(path, cells, map) ? 0 : 1), ::testing::ExitedWithCode(0),
                "");
}

} // namespace
} // namespace plateio::test
