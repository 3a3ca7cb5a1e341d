// The quiet functions: the same pixels and values as the specified readers on the same files, and
// silence; the capacity protocol; the mask; a code and a reason for every refusal; what a probe reads;
// the batch transform bit for bit; the version and the names of the codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>

#include "plateio.h"
#include "support/console.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "support/tra_exposure.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

xi_header sample_header(std::int32_t width, std::int32_t height, std::int32_t compression) {
    xi_header header = writers::make_xi_header(width, height, compression);
    writers::set_field(header.geometry0, 100.5);
    writers::set_field(header.geometry1, -1.25);
    writers::set_field(header.geometry2, 0.71073);
    writers::set_field(header.geometry5, -5.5);
    writers::set_field(header.geometry8, 8000000);
    writers::set_field(header.setting, 42);
    writers::set_field(header.overflow_threshold, 1000);
    writers::set_field(header.scale_value, 0.125);
    writers::set_field(header.overload_count, 17);
    return header;
}

std::vector<std::int32_t> sample_pixels(std::size_t count) {
    std::mt19937 random(3);
    std::vector<std::int32_t> pixels(count);
    for (auto &p : pixels) {
        p = random() % 9 == 0 ? static_cast<std::int32_t>(random())
                              : 900 + static_cast<std::int32_t>(random() % 200);
    }
    return pixels;
}

// A file, its family and the bytes of its pixels (TRA: everything behind the 1536-byte head).
struct File {
    const char *name;
    std::vector<std::uint8_t> bytes;
    std::int32_t family;
    std::int64_t pixel_bytes = -1;
};

std::vector<File> files() {
    const auto pixels = sample_pixels(37 * 23);
    auto coded = writers::compress_pixels(pixels);
    const auto coded_bytes = static_cast<std::int64_t>(coded.bytes.size());
    // One 32-bit value more than the codes take, and the entry holds it.
    xi_header mismatch = sample_header(37, 23, 1);
    writers::set_field(mismatch.delta16_count, coded.delta16_count);
    writers::set_field(mismatch.delta32_count, coded.delta32_count + 1);
    coded.bytes.insert(coded.bytes.end(), 4, 0);
    writers::XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(mismatch), {}, {}});
    container.entries.push_back({"XArea_Image", coded.bytes, {}, {}});
    return {
        {"TRA, saturated pixels on a round plate", writers::encode_tra(plate_exposure()), PLATEIO_FAMILY_TRA},
        {"TRA, small plate", small_plate(40, 5), PLATEIO_FAMILY_TRA},
        {"X-Area, plain", writers::xarea_file(sample_header(37, 23, 0), pixels, false), PLATEIO_FAMILY_XAREA,
         37 * 23 * 4},
        {"X-Area, difference-coded", writers::xarea_file(sample_header(37, 23, 1), pixels, true),
         PLATEIO_FAMILY_XAREA, coded_bytes},
        {"X-Area, counts that disagree", writers::encode_xarea(container), PLATEIO_FAMILY_XAREA,
         coded_bytes + 4},
        {"X-Area, no pixels", writers::xarea_file(sample_header(0, 5, 1), std::vector<std::int32_t>{}, true),
         PLATEIO_FAMILY_XAREA, 0},
    };
}

// What the specified readers give for a file: pixels, overflow count, description.
struct Legacy {
    std::vector<std::int32_t> marked;
    std::vector<std::int32_t> kept; // TRA only
    std::int32_t overflow_count = 0;
    image_info info{};
    std::string printed;
};

Legacy legacy(const std::string &path, std::int32_t family) {
    Legacy out;
    for (double &g : out.info.geometry) {
        g = std::numeric_limits<double>::quiet_NaN();
    }
    out.printed = capture_stdout([&] {
        if (family == PLATEIO_FAMILY_TRA) {
            for (const bool mark : {true, false}) {
                std::int32_t *pixels = nullptr;
                std::int32_t width = 0;
                std::int32_t height = 0;
                EXPECT_EQ((mark ? read_tra : read_short_tra)(path.c_str(), &pixels, &width, &height), 1);
                (mark ? out.marked : out.kept).assign(pixels, pixels + std::size_t{1200} * 1200);
                std::free(pixels);
            }
            for (const std::int32_t p : out.kept) {
                out.overflow_count += p == 65535 ? 1 : 0;
            }
            EXPECT_EQ(read_tra_header(path.c_str(), &out.info), 1);
        } else {
            pixel_image image{};
            reduction_params params{};
            EXPECT_EQ(read_xi(path.c_str(), &image, &params), 1);
            out.marked.assign(image.pixels, image.pixels + image.pixel_count);
            out.overflow_count = image.overflow_count;
            std::free(image.pixels);
            EXPECT_EQ(read_xi_header(path.c_str(), &out.info), 1);
        }
    });
    return out;
}

void expect_same_description(const image_info &a, const image_info &b) {
    EXPECT_EQ(a.overload_count, b.overload_count);
    for (int i = 0; i < 9; ++i) {
        EXPECT_TRUE(a.geometry[i] == b.geometry[i] ||
                    (std::isnan(a.geometry[i]) && std::isnan(b.geometry[i])))
            << "geometry[" << i << "]: " << a.geometry[i] << " and " << b.geometry[i];
    }
    EXPECT_EQ(a.setting, b.setting);
    EXPECT_EQ(a.overflow_threshold, b.overflow_threshold);
    EXPECT_EQ(a.scale_value, b.scale_value);
    EXPECT_STREQ(a.path, b.path);
}

TEST(QuietApi, ProbeAndReadGiveWhatTheSpecifiedReadersGiveAndSayNothing) {
    TempDir dir;
    for (const File &f : files()) {
        SCOPED_TRACE(f.name);
        const std::string path = dir.write(f.family == PLATEIO_FAMILY_TRA ? "f.tra" : "f.xa", f.bytes);
        const Legacy expected = legacy(path, f.family);
        const bool mismatch = !expected.printed.empty();

        plateio_frame probed;
        EXPECT_EQ(
            capture_stdout_and_stderr([&] { EXPECT_EQ(plateio_probe(path.c_str(), &probed), PLATEIO_OK); }),
            "");
        EXPECT_EQ(probed.family, f.family);
        EXPECT_EQ(probed.overflow_count, -1);
        EXPECT_EQ(probed.pixel_bytes,
                  f.pixel_bytes >= 0 ? f.pixel_bytes : static_cast<std::int64_t>(f.bytes.size()) - 1536);
        expect_same_description(probed.info, expected.info);

        for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(PLATEIO_KEEP_SATURATED)}) {
            SCOPED_TRACE(flags);
            const std::vector<std::int32_t> &pixels_expected =
                flags != 0 && f.family == PLATEIO_FAMILY_TRA ? expected.kept : expected.marked;
            std::vector<std::int32_t> pixels(pixels_expected.size() + 1, -7);
            plateio_frame frame;
            std::int32_t code = -1;
            EXPECT_EQ(capture_stdout_and_stderr([&] {
                          code = plateio_read(path.c_str(), pixels.data(), pixels.size(), &frame, flags);
                      }),
                      "");
            ASSERT_EQ(code, PLATEIO_OK) << frame.reason;
            EXPECT_EQ(pixels.back(), -7) << "written past width * height";
            pixels.pop_back();
            EXPECT_TRUE(pixels == pixels_expected);
            EXPECT_EQ(frame.family, f.family);
            EXPECT_EQ(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height),
                      pixels.size());
            EXPECT_EQ(frame.width, probed.width);
            EXPECT_EQ(frame.compressed, probed.compressed);
            EXPECT_EQ(frame.overflow_threshold, f.family == PLATEIO_FAMILY_TRA ? 65534 : 1000);
            EXPECT_EQ(frame.overflow_count, expected.overflow_count);
            expect_same_description(frame.info, expected.info);
            // A count mismatch is a warning of a successful read, with its numbers.
            EXPECT_EQ(frame.warnings, mismatch ? PLATEIO_WARN_COUNTS : 0u);
            EXPECT_EQ(frame.reason[0] != '\0', mismatch) << frame.reason;
        }
    }
}

TEST(QuietApi, ACapacityBelowTheImageIsAskedForAgain) {
    TempDir dir;
    const auto pixels = sample_pixels(7 * 5);
    const std::string path = dir.write("f.xa", writers::xarea_file(sample_header(7, 5, 1), pixels, true));
    plateio_frame frame;
    // No array yet: the size to allocate.
    ASSERT_EQ(plateio_read(path.c_str(), nullptr, 0, &frame, 0), PLATEIO_E_CAPACITY);
    EXPECT_EQ(frame.width, 7);
    EXPECT_EQ(frame.height, 5);
    EXPECT_NE(frame.reason[0], '\0');
    // One element short: refused before anything is stored.
    std::vector<std::int32_t> array(35, -7);
    EXPECT_EQ(plateio_read(path.c_str(), array.data(), 34, &frame, 0), PLATEIO_E_CAPACITY);
    EXPECT_EQ(array, std::vector<std::int32_t>(35, -7));
    std::vector<std::uint8_t> mask(35, 9);
    EXPECT_EQ(plateio_read_mask(path.c_str(), mask.data(), 34, &frame), PLATEIO_E_CAPACITY);
    EXPECT_EQ(mask, std::vector<std::uint8_t>(35, 9));
    // Enough: read, and the same array serves again.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(plateio_read(path.c_str(), array.data(), array.size(), &frame, 0), PLATEIO_OK);
        EXPECT_EQ(array[34], pixels[34] > 1000 ? PIXEL_OVERFLOW : pixels[34]);
    }
    EXPECT_EQ(plateio_read_mask(path.c_str(), mask.data(), mask.size(), &frame), PLATEIO_OK);
    EXPECT_EQ(mask, std::vector<std::uint8_t>(35, 0)) << "an X-Area file records every pixel";
}

TEST(QuietApi, TheTraMaskIsOneExactlyOutsideTheRowSpans) {
    TempDir dir;
    const writers::TraFile file = plate_exposure();
    const std::string path = dir.write("plate.tra", writers::encode_tra(file));
    std::vector<std::uint8_t> mask(std::size_t{1200} * 1200, 9);
    plateio_frame frame;
    ASSERT_EQ(plateio_read_mask(path.c_str(), mask.data(), mask.size(), &frame), PLATEIO_OK);
    std::size_t unrecorded = 0;
    for (std::size_t row = 0; row < 1200; ++row) {
        const std::size_t half = file.row_table[std::min(row, 1199 - row)] >> 1;
        for (std::size_t column = 0; column < 1200; ++column) {
            const bool inside = column >= 600 - half && column < 600 + half;
            ASSERT_EQ(mask[row * 1200 + column], inside ? 0 : 1) << "row " << row << ", column " << column;
            unrecorded += inside ? 0 : 1;
        }
    }
    EXPECT_EQ(unrecorded, mask.size() - writers::tra_stream_length(file.row_table));
}

TEST(QuietApi, EveryRefusalHasItsCodeAndAReason) {
    TempDir dir;
    const auto pixels = sample_pixels(6);
    const auto coded = writers::xarea_file(sample_header(3, 2, 1), pixels, true);
    xi_header negative = sample_header(-3, 2, 0);
    writers::XiContainer no_header;
    no_header.entries.push_back({"XArea_Image", {1, 2, 3}, {}, {}});
    writers::XiContainer toc_cut;
    toc_cut.entries.push_back({"XArea_ImgHdr", writers::record_bytes(sample_header(1, 1, 0)), {}, {}});
    toc_cut.entry_count = 40;
    std::vector<std::uint8_t> tra = small_plate(20);
    tra.resize(tra.size() - 2);
    writers::XiContainer short_codes;
    short_codes.entries.push_back({"XArea_ImgHdr", writers::record_bytes(sample_header(30, 1, 1)), {}, {}});
    short_codes.entries.push_back({"XArea_Image", std::vector<std::uint8_t>(29, 127), {}, {}});
    struct Refusal {
        const char *name;
        std::string path;
        std::int32_t code;
        std::int32_t family;
    };
    const std::string directory = dir.file("a directory");
    ::mkdir(directory.c_str(), 0700);
    const Refusal refusals[] = {
        {"missing", dir.file("missing"), PLATEIO_E_OPEN, PLATEIO_FAMILY_UNKNOWN},
        {"a directory", directory, PLATEIO_E_OPEN, PLATEIO_FAMILY_UNKNOWN},
        {"text", dir.write("t.txt", std::vector<std::uint8_t>(2000, 'a')), PLATEIO_E_FORMAT,
         PLATEIO_FAMILY_UNKNOWN},
        {"a TRA file cut short", dir.write("cut.tra", tra), PLATEIO_E_FORMAT, PLATEIO_FAMILY_UNKNOWN},
        {"X-Area magic alone",
         dir.write("m.xa", std::vector<std::uint8_t>(coded.begin(), coded.begin() + 50)),
         PLATEIO_E_NOT_CONTAINER, PLATEIO_FAMILY_XAREA},
        {"table cut short", dir.write("toc.xa", writers::encode_xarea(toc_cut)), PLATEIO_E_TOC,
         PLATEIO_FAMILY_XAREA},
        {"no header entry", dir.write("nh.xa", writers::encode_xarea(no_header)), PLATEIO_E_NO_HEADER,
         PLATEIO_FAMILY_XAREA},
        {"negative width", dir.write("neg.xa", writers::xarea_file(negative, pixels, false)), PLATEIO_E_SIZE,
         PLATEIO_FAMILY_XAREA},
        {"a code short", dir.write("sc.xa", writers::encode_xarea(short_codes)), PLATEIO_E_SHORT,
         PLATEIO_FAMILY_XAREA},
        {"a path too long", "/" + std::string(PLATEIO_PATH_CAPACITY, 'p'), PLATEIO_E_PATH,
         PLATEIO_FAMILY_UNKNOWN},
    };
    std::set<std::string> reasons;
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.name);
        std::vector<std::int32_t> array(64, -7);
        std::vector<std::uint8_t> mask(64, 9);
        plateio_frame frame;
        EXPECT_EQ(capture_stdout_and_stderr([&] {
                      EXPECT_EQ(plateio_probe(r.path.c_str(), &frame), r.code);
                      EXPECT_EQ(plateio_read_mask(r.path.c_str(), mask.data(), mask.size(), &frame), r.code);
                      EXPECT_EQ(plateio_read(r.path.c_str(), array.data(), array.size(), &frame, 0), r.code);
                  }),
                  "");
        EXPECT_EQ(frame.family, r.family);
        EXPECT_EQ(frame.system_error, r.code != PLATEIO_E_OPEN ? 0 : r.name[0] == 'm' ? ENOENT : EISDIR);
        EXPECT_NE(std::strlen(frame.reason), 0u);
        EXPECT_EQ(std::strchr(frame.reason, '\n'), nullptr) << "one line";
        EXPECT_TRUE(reasons.insert(frame.reason).second) << "a reason of its own: " << frame.reason;
        EXPECT_EQ(array, std::vector<std::int32_t>(64, -7));
        EXPECT_EQ(mask, std::vector<std::uint8_t>(64, 9));
    }
}

// Bytes the process has read through system calls so far.
long long bytes_read_so_far() {
    std::FILE *io = std::fopen("/proc/self/io", "r");
    char line[128];
    long long value = -1;
    while (io != nullptr && std::fgets(line, sizeof line, io) != nullptr) {
        if (std::strncmp(line, "rchar:", 6) == 0) {
            value = std::atoll(line + 6);
        }
    }
    if (io != nullptr) {
        std::fclose(io);
    }
    return value;
}

TEST(QuietApi, AProbeReadsAtMost64KiB) {
    TempDir dir;
    writers::XiContainer many;
    // A table of contents longer than a probe reads, the entries it needs at its start.
    many.entries.push_back({"XArea_ImgHdr", writers::record_bytes(sample_header(400, 400, 0)), {}, {}});
    many.entries.push_back({"XArea_Image", writers::plain_block(sample_pixels(400 * 400)), {}, {}});
    for (int i = 0; i < 3000; ++i) {
        many.entries.push_back({"XArea_Other", {1}, {}, {}});
    }
    const std::string large[] = {dir.write("plate.tra", writers::encode_tra(plate_exposure())),
                                 dir.write("many.xa", writers::encode_xarea(many))};
    for (const std::string &path : large) {
        SCOPED_TRACE(path);
        plateio_frame frame;
        const long long before = bytes_read_so_far();
        ASSERT_EQ(plateio_probe(path.c_str(), &frame), PLATEIO_OK) << frame.reason;
        EXPECT_LE(bytes_read_so_far() - before, 64 * 1024);
    }
}

TEST(QuietApi, CorrectPointsIsBitForBitThePointByPointTransforms) {
    std::mt19937 random(9);
    std::vector<double> points = {0,
                                  0,
                                  1e-21,
                                  5,
                                  3,
                                  4,
                                  -2.5,
                                  0,
                                  std::numeric_limits<double>::quiet_NaN(),
                                  1,
                                  std::numeric_limits<double>::infinity(),
                                  2,
                                  0x1p-1030,
                                  -7};
    for (int i = 0; i < 500; ++i) {
        points.push_back(std::uniform_real_distribution<double>(-200, 200)(random));
    }
    const geometry_params parameter_sets[] = {
        {0, 0, 0, 0, 0, 0, 0, 0},
        {0.3, 0.5, 1, -2, 0.5, 1.5, -2.5, 30},
        {-10, 0, 3, 0, 2, 10, 10, -90},
    };
    for (const geometry_params &params : parameter_sets) {
        for (const std::int32_t inverse : {0, 1}) {
            SCOPED_TRACE(inverse ? "anti_correct" : "correct_cry");
            std::vector<double> one_by_one = points;
            for (std::size_t i = 0; i < points.size(); i += 2) {
                (inverse ? anti_correct : correct_cry)(&one_by_one[i], &params, 200.0);
            }
            std::vector<double> batch = points;
            plateio_correct_points(batch.data(), batch.size() / 2, &params, 200.0, inverse);
            EXPECT_EQ(std::memcmp(batch.data(), one_by_one.data(), batch.size() * sizeof(double)), 0);
        }
    }
}

TEST(QuietApi, TheVersionAndTheNameOfEveryCode) {
    const std::string version = std::to_string(PLATEIO_VERSION_MAJOR) + "." +
                                std::to_string(PLATEIO_VERSION_MINOR) + "." +
                                std::to_string(PLATEIO_VERSION_PATCH);
    EXPECT_EQ(plateio_version(), version);
    std::set<std::string> names;
    for (std::int32_t code = PLATEIO_OK; code <= PLATEIO_E_PATH; ++code) {
        EXPECT_TRUE(names.insert(plateio_strerror(code)).second) << code;
    }
    EXPECT_EQ(std::string(plateio_strerror(PLATEIO_E_PATH + 1)), plateio_strerror(-1));
    EXPECT_EQ(names.count(plateio_strerror(-1)), 0u);
}

} // namespace
} // namespace plateio::test
