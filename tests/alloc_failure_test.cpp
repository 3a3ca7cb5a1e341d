// Allocation-failure injection: every malloc (calloc, realloc) and every fopen the library makes is
// failed in turn, one per call, on representative files of every reader. Each such call must fail
// cleanly: result 0 with one of the reader's documented messages (uncompressImage: the block kept,
// still compressed, and " uncompressImage(): no memory"), the host's records untouched, nothing left
// allocated and no file left open. One more acquisition than were counted must succeed again.
//
// The library's objects come from the static archive and this program is linked with
// --wrap=malloc,calloc,realloc,fopen,fopen64, so that the library's own references go through the
// wrappers below; the C library's internal allocations are not counted (fopen is, as a whole).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "plateio.h"
#include "support/console.hpp"
#include "support/reference.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "support/tra_exposure.hpp"
#include "synth.hpp"
#include "tra_writer.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

// Which acquisition fails: counted only while armed, so that the test's own allocations never are.
struct Injection {
    bool armed = false;
    long count = 0;
    long fail_at = 0; // 1-based; 0: none fails
};

Injection injection;

bool fail_this_one() {
    if (!injection.armed) {
        return false;
    }
    ++injection.count;
    if (injection.count == injection.fail_at) {
        errno = ENOMEM;
        return true;
    }
    return false;
}

} // namespace
} // namespace plateio::test

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *block, std::size_t size);
std::FILE *__real_fopen(const char *path, const char *mode);
std::FILE *__real_fopen64(const char *path, const char *mode);

void *__wrap_malloc(std::size_t size) {
    return plateio::test::fail_this_one() ? nullptr : __real_malloc(size);
}
void *__wrap_calloc(std::size_t count, std::size_t size) {
    return plateio::test::fail_this_one() ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *block, std::size_t size) {
    return plateio::test::fail_this_one() ? nullptr : __real_realloc(block, size);
}
std::FILE *__wrap_fopen(const char *path, const char *mode) {
    return plateio::test::fail_this_one() ? nullptr : __real_fopen(path, mode);
}
std::FILE *__wrap_fopen64(const char *path, const char *mode) {
    return plateio::test::fail_this_one() ? nullptr : __real_fopen64(path, mode);
}
}

namespace plateio::test {
namespace {

// One reader call on one file. `call` runs the reader on fresh host records, checks them against the
// expected outcome (success: `ok` true; failure: records untouched), releases what it was handed and
// returns the result.
struct Case {
    const char *name;
    std::function<std::int32_t(bool expect_success)> call;
    std::set<std::string> failure_messages; // what a failed acquisition may print
};

// What one call did: its result and console text, the acquisitions it made, and the descriptors and
// heap bytes it left behind (both measured around the call alone).
struct Outcome {
    std::int32_t result = -1;
    std::string printed;
    long acquisitions = 0;
    int descriptors_left = 0;
    long long heap_left = 0;
};

// Runs `c` with the `fail_at`-th acquisition failing (0: none).
Outcome run_with_failure(const Case &c, long fail_at, bool expect_success) {
    Outcome out;
    out.printed = capture_stdout([&] {
        const int descriptors = open_descriptor_count();
        const std::size_t heap = heap_in_use();
        injection = Injection{true, 0, fail_at};
        out.result = c.call(expect_success);
        injection.armed = false;
        out.acquisitions = injection.count;
        out.heap_left = static_cast<long long>(heap_in_use()) - static_cast<long long>(heap);
        out.descriptors_left = open_descriptor_count() - descriptors;
    });
    return out;
}

void sweep(const Case &c) {
    SCOPED_TRACE(c.name);
    // The C library allocates some state once, at the first message (stdout's buffer) and the first
    // file opened: a first call takes it, before anything is counted.
    capture_stdout([&] {
        std::fputs("warm-up", stdout);
        c.call(true);
    });
    // Once without a failure: the count of acquisitions.
    const Outcome clean = run_with_failure(c, 0, true);
    ASSERT_EQ(clean.result, 1);
    ASSERT_GE(clean.acquisitions, 1);
    EXPECT_EQ(clean.descriptors_left, 0);
    EXPECT_EQ(clean.heap_left, 0);

    for (long n = 1; n <= clean.acquisitions; ++n) {
        SCOPED_TRACE("acquisition " + std::to_string(n) + " of " + std::to_string(clean.acquisitions) +
                     " fails");
        const Outcome failed = run_with_failure(c, n, false);
        EXPECT_EQ(failed.result, 0);
        EXPECT_EQ(c.failure_messages.count(failed.printed), 1u) << "printed: " << failed.printed;
        EXPECT_EQ(failed.descriptors_left, 0);
        EXPECT_EQ(failed.heap_left, 0);
        EXPECT_LE(failed.acquisitions, clean.acquisitions);
    }
    // Failing the one after the last fails none: the call succeeds again, so the count was whole.
    const Outcome again = run_with_failure(c, clean.acquisitions + 1, true);
    EXPECT_EQ(again.result, 1);
    EXPECT_EQ(again.acquisitions, clean.acquisitions);
}

// ---- Files --------------------------------------------------------------------------------------

writers::ExposureValues xarea_values() {
    writers::ExposureValues values;
    values.geometry = {80.0, 0.25, 0.5, 0.7107, 250.0, 1.5, 3.0, 1.0, 2.0};
    values.setting = 7;
    values.overflow_threshold = 20000;
    values.scale_value = 0.85;
    return values;
}

std::vector<std::int32_t> xarea_picture(std::int32_t width, std::int32_t height) {
    writers::SynthSettings settings;
    settings.width = width;
    settings.height = height;
    settings.ceiling = 3000000;
    return writers::synth_exposure(settings);
}

std::vector<std::uint8_t> xarea_file(bool compressed) {
    return writers::synth_xarea_file(xarea_picture(40, 30), 40, 30, xarea_values(), compressed);
}

// A difference-coded file whose header counts one 16-bit value fewer than its codes take: loaded,
// after the count-mismatch report.
std::vector<std::uint8_t> mismatched_file() {
    const std::vector<std::int32_t> pixels = xarea_picture(40, 30);
    writers::CompressedBlock coded = writers::compress_pixels(pixels);
    xi_header header = writers::make_xi_header(40, 30, 1);
    writers::set_field(header.overflow_threshold, 20000);
    writers::set_field(header.delta16_count, coded.delta16_count - 1);
    writers::set_field(header.delta32_count, coded.delta32_count);
    writers::XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(header), {}, {}});
    container.entries.push_back({"XArea_Image", coded.bytes, {}, {}});
    return writers::encode_xarea(container);
}

// ---- Readers ------------------------------------------------------------------------------------

using PixelReader = std::int32_t (*)(const char *, std::int32_t **, std::int32_t *, std::int32_t *);

Case tra_case(const char *name, const std::string &path, PixelReader read, bool read_tra_wording) {
    return {name,
            [path, read](bool expect_success) {
                std::int32_t *pixels = untouched_pointer();
                std::int32_t width = -1;
                std::int32_t height = -2;
                const std::int32_t result = read(path.c_str(), &pixels, &width, &height);
                if (result == 1) {
                    EXPECT_TRUE(expect_success);
                    EXPECT_EQ(width, 1200);
                    std::free(pixels);
                } else {
                    EXPECT_EQ(pixels, untouched_pointer());
                    EXPECT_EQ(width, -1);
                    EXPECT_EQ(height, -2);
                }
                return result;
            },
            {reference::tra_failure(path, read_tra_wording)}};
}

Case tra_header_case(const std::string &path) {
    return {"read_tra_header",
            [path](bool) {
                const image_info before = patterned<image_info>();
                image_info info = before;
                const std::int32_t result = read_tra_header(path.c_str(), &info);
                if (result == 0) {
                    EXPECT_TRUE(same_bytes(info, before));
                }
                return result;
            },
            {reference::tra_failure(path, false)}};
}

Case az_tra_case(const char *name, const std::string &path, std::int32_t grid_mode) {
    return {name,
            [path, grid_mode](bool) {
                std::vector<std::int32_t> map(reference::kTraGridPixels);
                for (std::size_t i = 0; i < map.size(); ++i) {
                    map[i] = static_cast<std::int32_t>(i % 5000) - 10;
                }
                std::vector<std::int32_t> cells(4900, -7);
                remap_target before = patterned<remap_target>();
                before.cells = cells.data();
                before.grid_mode = grid_mode;
                before.cell_count = static_cast<std::int32_t>(cells.size());
                before.aux_value = 42.5;
                remap_target target = before;
                std::int32_t *map_pointer = map.data();
                const std::int32_t result = read_az_tra(path.c_str(), &target, &map_pointer);
                if (result == 0) {
                    remap_target expected = before;
                    expected.overload_count = 0;
                    EXPECT_TRUE(same_bytes(target, expected));
                    EXPECT_EQ(cells, std::vector<std::int32_t>(cells.size(), -7));
                }
                return result;
            },
            {reference::tra_failure(path, false)}};
}

Case ximage_case(const char *name, const std::string &path) {
    return {name,
            [path](bool) {
                xi_header header = patterned<xi_header>();
                void *block = untouched_pointer();
                const std::int32_t result = readXImage(path.c_str(), &header, &block);
                if (result == 1) {
                    std::free(block);
                } else {
                    EXPECT_TRUE(block == untouched_pointer() || block == nullptr);
                }
                return result;
            },
            {" readXImage(): unable to open file ", " readXImage(): no memory ERROR\n"}};
}

std::set<std::string> import_failures(const std::string &path) {
    return {reference::import_failure(path), " readXImage(): unable to open file ",
            " readXImage(): no memory ERROR\n"};
}

Case read_xi_case(const char *name, const std::string &path) {
    return {name,
            [path](bool) {
                const pixel_image image_before = patterned<pixel_image>();
                reduction_params params_before = patterned<reduction_params>();
                params_before.geometry2 = PLATEIO_UNSET;
                pixel_image image = image_before;
                reduction_params params = params_before;
                const std::int32_t result = read_xi(path.c_str(), &image, &params);
                if (result == 1) {
                    std::free(image.pixels);
                } else {
                    EXPECT_TRUE(same_bytes(image, image_before));
                    EXPECT_TRUE(same_bytes(params, params_before));
                }
                return result;
            },
            import_failures(path)};
}

Case read_xi_header_case(const char *name, const std::string &path) {
    return {name,
            [path](bool) {
                const image_info before = patterned<image_info>();
                image_info info = before;
                const std::int32_t result = read_xi_header(path.c_str(), &info);
                if (result == 0) {
                    EXPECT_TRUE(same_bytes(info, before));
                }
                return result;
            },
            import_failures(path)};
}

// plateio_read and plateio_read_mask into arrays of the host's: a failed acquisition is a code and a
// reason, never a word on the console, and nothing is left behind.
Case quiet_case(const char *name, const std::string &path, bool mask) {
    return {name,
            [path, mask](bool) {
                plateio_frame frame;
                std::int32_t code = PLATEIO_OK;
                if (mask) {
                    std::vector<std::uint8_t> cells(std::size_t{1200} * 1200);
                    code = plateio_read_mask(path.c_str(), cells.data(), cells.size(), &frame);
                } else {
                    std::vector<std::int32_t> cells(std::size_t{1200} * 1200);
                    code = plateio_read(path.c_str(), cells.data(), cells.size(), &frame, 0);
                }
                if (code != PLATEIO_OK) {
                    EXPECT_TRUE(code == PLATEIO_E_NO_MEMORY || code == PLATEIO_E_OPEN) << frame.reason;
                    EXPECT_NE(frame.reason[0], '\0');
                }
                return code == PLATEIO_OK ? 1 : 0;
            },
            {""}};
}

TEST(AllocationFailure, QuietReaders) {
    TempDir dir;
    const std::string plate = dir.write("plate.tra", small_plate(64));
    const std::string plain = dir.write("plain.xa", xarea_file(false));
    const std::string coded = dir.write("coded.xa", xarea_file(true));
    for (const Case &c :
         {quiet_case("plateio_read, TRA", plate, false), quiet_case("plateio_read, plain", plain, false),
          quiet_case("plateio_read, coded", coded, false), quiet_case("plateio_read_mask, TRA", plate, true),
          quiet_case("plateio_read_mask, coded", coded, true)}) {
        sweep(c);
    }
}

TEST(AllocationFailure, TraReaders) {
    TempDir dir;
    const std::string plate = dir.write("plate.tra", small_plate(64));
    for (const Case &c : {tra_case("read_tra", plate, read_tra, true),
                          tra_case("read_short_tra", plate, read_short_tra, false), tra_header_case(plate),
                          az_tra_case("read_az_tra, grid copied", plate, 600),
                          az_tra_case("read_az_tra, grid binned", plate, 1200)}) {
        sweep(c);
    }
}

TEST(AllocationFailure, XAreaReaders) {
    TempDir dir;
    const std::string plain = dir.write("plain.xa", xarea_file(false));
    const std::string coded = dir.write("coded.xa", xarea_file(true));
    const std::string mismatched = dir.write("mismatched.xa", mismatched_file());
    for (const Case &c : {ximage_case("readXImage, plain", plain), ximage_case("readXImage, coded", coded),
                          read_xi_case("read_xi, plain", plain), read_xi_case("read_xi, coded", coded),
                          read_xi_case("read_xi, counts disagree", mismatched),
                          read_xi_header_case("read_xi_header, plain", plain),
                          read_xi_header_case("read_xi_header, coded", coded),
                          read_xi_header_case("read_xi_header, counts disagree", mismatched)}) {
        sweep(c);
    }
}

// uncompressImage has one allocation, its output: when it fails the caller keeps the compressed block,
// byte for byte, and is told so.
TEST(AllocationFailure, UncompressImageKeepsTheCompressedBlock) {
    const std::vector<std::int32_t> pixels = xarea_picture(40, 30);
    const writers::CompressedBlock coded = writers::compress_pixels(pixels);
    xi_header header = writers::make_xi_header(40, 30, 1);
    writers::set_field(header.delta16_count, coded.delta16_count);
    writers::set_field(header.delta32_count, coded.delta32_count);
    const Case c{"uncompressImage",
                 [&](bool expect_success) {
                     // The host's block, from the allocator itself: not one of the library's acquisitions.
                     void *block = __real_malloc(coded.bytes.size());
                     std::memcpy(block, coded.bytes.data(), coded.bytes.size());
                     void *const given = block;
                     uncompressImage(&header, &block);
                     const bool replaced = block != given;
                     if (replaced) {
                         EXPECT_TRUE(expect_success);
                         EXPECT_EQ(std::memcmp(block, pixels.data(), pixels.size() * 4), 0);
                     } else {
                         EXPECT_EQ(std::memcmp(block, coded.bytes.data(), coded.bytes.size()), 0);
                     }
                     std::free(block);
                     return replaced ? 1 : 0;
                 },
                 {" uncompressImage(): no memory"}};
    sweep(c);
}

} // namespace
} // namespace plateio::test
