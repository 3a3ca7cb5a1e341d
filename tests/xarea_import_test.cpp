// read_xi and read_xi_header: what the host's records hold afterwards, the overflow threshold, the
// geometry2 rule, the refusals, and round trips through every path.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "plateio.h"
#include "support/console.hpp"
#include "support/leak_check.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "tra_writer.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

const std::string kImportError = "# \x1b[31;1mERROR\x1b[0m READING ";

xi_header sample_header(std::int32_t width, std::int32_t height) {
    using writers::set_field;
    xi_header header = writers::make_xi_header(width, height, 0);
    set_field(header.geometry0, 100.5);
    set_field(header.geometry1, -1.25);
    set_field(header.geometry2, 0.71073);
    set_field(header.geometry3, 3.5);
    set_field(header.geometry4, 4.5);
    set_field(header.geometry5, -5.5);
    set_field(header.geometry6, 6);
    set_field(header.geometry7, -7);
    set_field(header.geometry8, 8000000);
    set_field(header.setting, 42);
    set_field(header.overflow_threshold, 1000);
    set_field(header.scale_value, 0.125);
    set_field(header.overload_count, 17);
    return header;
}

// Pixels of every difference class, some above the sample threshold.
std::vector<std::int32_t> sample_pixels(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::int32_t> pixels(count);
    for (auto &p : pixels) {
        const auto kind = random() % 20;
        p = kind == 0   ? static_cast<std::int32_t>(random())
            : kind == 1 ? 1000 + static_cast<std::int32_t>(random() % 3)
                        : 200 + static_cast<std::int32_t>(random() % 50);
    }
    return pixels;
}

std::vector<std::int32_t> marked(const std::vector<std::int32_t> &pixels, std::int32_t threshold,
                                 std::int32_t *overflow_count) {
    std::vector<std::int32_t> out;
    *overflow_count = 0;
    for (std::int32_t p : pixels) {
        *overflow_count += p > threshold ? 1 : 0;
        out.push_back(p > threshold ? PIXEL_OVERFLOW : p);
    }
    return out;
}

reduction_params unset_params() {
    reduction_params params;
    params.geometry0 = params.geometry1 = params.geometry3 = params.geometry4 = params.geometry5 = 77.0;
    params.geometry2 = PLATEIO_UNSET;
    return params;
}

TEST(XAreaImport, ReadXiFillsBothRecordsPlainAndCoded) {
    TempDir dir;
    const std::int32_t width = 37; // odd sizes: the coded 32-bit section starts at an odd byte
    const std::int32_t height = 29;
    const auto pixels = sample_pixels(std::size_t{width} * height, 3);
    std::int32_t overflow = 0;
    const auto expected = marked(pixels, 1000, &overflow);
    ASSERT_GT(overflow, 0);
    for (bool coded : {false, true}) {
        SCOPED_TRACE(coded ? "coded" : "plain");
        const std::string path =
            dir.write("x.xa", writers::xarea_file(sample_header(width, height), pixels, coded));
        pixel_image image = patterned<pixel_image>();
        reduction_params params = unset_params();
        std::int32_t result = 0;
        EXPECT_EQ(capture_stdout([&] { result = read_xi(path.c_str(), &image, &params); }), "");
        ASSERT_EQ(result, 1);
        EXPECT_EQ(image.width, width);
        EXPECT_EQ(image.height, height);
        EXPECT_EQ(image.pixel_count, width * height);
        EXPECT_EQ(image.overflow_threshold, 1000);
        EXPECT_EQ(image.overflow_count, overflow);
        EXPECT_EQ(image.scale_value, 0.125);
        EXPECT_EQ(image.geometry0, 100.5);
        EXPECT_EQ(image.geometry1, -1.25);
        EXPECT_EQ(std::vector<std::int32_t>(image.pixels, image.pixels + expected.size()), expected);
        EXPECT_EQ(params.geometry0, 100.5);
        EXPECT_EQ(params.geometry1, -1.25);
        EXPECT_EQ(params.geometry2, 0.71073);
        EXPECT_EQ(params.geometry3, 3.5);
        EXPECT_EQ(params.geometry4, 4.5);
        EXPECT_EQ(params.geometry5, -5.5);
        std::free(image.pixels);
    }
}

TEST(XAreaImport, ContainerAndDecoderCalledDirectlyGiveTheSamePixels) {
    TempDir dir;
    const auto pixels = sample_pixels(64 * 48, 5);
    const std::string path = dir.write("x.xa", writers::xarea_file(sample_header(64, 48), pixels, true));
    xi_header header;
    void *block = nullptr;
    ASSERT_EQ(readXImage(path.c_str(), &header, &block), 1);
    EXPECT_EQ(writers::get_field(header.compression), 1);
    uncompressImage(&header, &block);
    EXPECT_EQ(std::memcmp(block, pixels.data(), pixels.size() * 4), 0);
    std::free(block);
}

struct ThresholdCase {
    const char *name;
    std::int32_t threshold;
    std::vector<std::int32_t> pixels;
    std::vector<std::int32_t> expected;
};

TEST(XAreaImport, OverflowThresholdIsAStrictSignedComparison) {
    const std::int32_t O = PIXEL_OVERFLOW;
    const ThresholdCase cases[] = {
        {"equal stays, one above is marked", 100, {99, 100, 101, INT_MAX, -5}, {99, 100, O, O, -5}},
        {"threshold -1 marks every pixel from 0", -1, {-2, -1, 0, 1, 300000}, {-2, -1, O, O, O}},
        {"threshold INT_MAX marks nothing", INT_MAX, {INT_MAX, INT_MIN, 0}, {INT_MAX, INT_MIN, 0}},
        {"threshold INT_MIN marks all but INT_MIN", INT_MIN, {INT_MIN, INT_MIN + 1, 0}, {INT_MIN, O, O}},
        {"a pixel equal to the mark itself is counted when above", 256000, {256001, 256000}, {O, 256000}},
    };
    TempDir dir;
    for (const ThresholdCase &c : cases) {
        for (bool coded : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (coded ? " / coded" : " / plain"));
            xi_header header = sample_header(static_cast<std::int32_t>(c.pixels.size()), 1);
            writers::set_field(header.overflow_threshold, c.threshold);
            const std::string path = dir.write("t.xa", writers::xarea_file(header, c.pixels, coded));
            pixel_image image{};
            reduction_params params = unset_params();
            ASSERT_EQ(read_xi(path.c_str(), &image, &params), 1);
            EXPECT_EQ(std::vector<std::int32_t>(image.pixels, image.pixels + c.expected.size()), c.expected);
            std::int32_t counted = 0;
            marked(c.pixels, c.threshold, &counted);
            EXPECT_EQ(image.overflow_count, counted);
            std::free(image.pixels);
        }
    }
}

TEST(XAreaImport, Geometry2IsTakenOnlyWhereTheHostLeftItUnset) {
    struct Case {
        const char *name;
        double before;
        double after;
    };
    const Case cases[] = {
        {"unset mark", -999.0, 0.71073},    {"NaN counts as unset", std::nan(""), 0.71073},
        {"a value the host set", 5.0, 5.0}, {"near the mark is not the mark", -999.0000001, -999.0000001},
        {"zero is a value", 0.0, 0.0},
    };
    TempDir dir;
    const std::string path = dir.write(
        "g.xa", writers::xarea_file(sample_header(2, 2), std::vector<std::int32_t>{1, 2, 3, 4}, false));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pixel_image image{};
        reduction_params params = unset_params();
        params.geometry2 = c.before;
        ASSERT_EQ(read_xi(path.c_str(), &image, &params), 1);
        EXPECT_EQ(params.geometry2, c.after);
        EXPECT_EQ(params.geometry4, 4.5) << "the other members are always taken";
        std::free(image.pixels);
    }
}

TEST(XAreaImport, CountMismatchStillLoadsTheImage) {
    const std::vector<std::int32_t> pixels = {5, 100000, 100001, 7};
    writers::CompressedBlock coded = writers::compress_pixels(pixels);
    xi_header header = sample_header(4, 1);
    writers::set_field(header.compression, 1);
    writers::set_field(header.delta16_count, coded.delta16_count);
    writers::set_field(header.delta32_count, coded.delta32_count + 1); // one more than the codes take
    coded.bytes.resize(coded.bytes.size() + 4, 0);                     // and the block holds it
    writers::XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(header), {}, {}});
    container.entries.push_back({"XArea_Image", coded.bytes, {}, {}});
    TempDir dir;
    const std::string path = dir.write("m.xa", writers::encode_xarea(container));
    const std::string report =
        std::to_string(coded.delta32_count) + " " + std::to_string(coded.delta32_count + 1) + " " +
        std::to_string(coded.delta16_count) + " " + std::to_string(coded.delta16_count) +
        "\n uncompressImage(): corrupt imagedata ";

    pixel_image image{};
    reduction_params params = unset_params();
    std::int32_t result = 0;
    EXPECT_EQ(capture_stdout([&] { result = read_xi(path.c_str(), &image, &params); }), report);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::vector<std::int32_t>(image.pixels, image.pixels + 4),
              (std::vector<std::int32_t>{5, PIXEL_OVERFLOW, PIXEL_OVERFLOW, 7}));
    std::free(image.pixels);

    image_info info{};
    EXPECT_EQ(capture_stdout([&] { result = read_xi_header(path.c_str(), &info); }), report);
    EXPECT_EQ(result, 1);
}

TEST(XAreaImport, ReadXiHeaderFillsTheDescription) {
    TempDir dir;
    for (bool coded : {false, true}) {
        SCOPED_TRACE(coded ? "coded" : "plain");
        // The recorded overload count is passed through whatever the pixels hold.
        const std::string path = dir.write(
            "100% %s.xa",
            writers::xarea_file(sample_header(3, 2), std::vector<std::int32_t>{1, 2, 3, 4, 5, 99999}, coded));
        image_info info = patterned<image_info>();
        ASSERT_EQ(read_xi_header(path.c_str(), &info), 1);
        const double expected[9] = {100.5, -1.25, 0.71073, 3.5, 4.5, -5.5, 6.0, -7.0, 8000000.0};
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(info.geometry[i], expected[i]) << "geometry[" << i << "]";
        }
        EXPECT_EQ(info.setting, 42);
        EXPECT_EQ(info.overflow_threshold, 1000);
        EXPECT_EQ(info.scale_value, 0.125);
        EXPECT_EQ(info.overload_count, 17);
        EXPECT_STREQ(info.path, path.c_str());
    }
}

TEST(XAreaImport, TraHeaderAfterXAreaKeepsGeometry6To8) {
    TempDir dir;
    const std::string xa =
        dir.write("x.xa", writers::xarea_file(sample_header(1, 1), std::vector<std::int32_t>{1}, false));
    writers::TraFile tra;
    tra.header = writers::tra_header({1, 2, 3, 4, 5});
    const std::string tra_path = dir.write("t.tra", writers::encode_tra(tra));
    image_info info{};
    ASSERT_EQ(read_xi_header(xa.c_str(), &info), 1);
    ASSERT_EQ(read_tra_header(tra_path.c_str(), &info), 1);
    EXPECT_EQ(info.geometry[6], 6.0);
    EXPECT_EQ(info.geometry[7], -7.0);
    EXPECT_EQ(info.geometry[8], 8000000.0);
    EXPECT_EQ(info.geometry[0], 1.0);
    EXPECT_EQ(info.overload_count, -1);
    EXPECT_STREQ(info.path, tra_path.c_str());
}

// A file, and what each import function makes of it: read_xi refuses a file whose pixel entry cannot
// give every pixel, read_xi_header (which reads no pixel) only where the container cannot be read,
// and prints for a coded block what uncompressImage would.
struct Import {
    const char *name;
    std::vector<std::uint8_t> bytes; // empty and !create: missing file
    std::string read_xi;             // printed by read_xi, which returns 0; "@": the import's message
    std::string read_xi_header;      // printed by read_xi_header; it returns 1 unless this is "@" or a
                                     // container message (ending in "ERROR\n")
    bool create = true;
};

std::vector<std::uint8_t> file_with(xi_header header, std::vector<std::uint8_t> block) {
    writers::XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(header), {}, {}});
    container.entries.push_back({"XArea_Image", std::move(block), {}, {}});
    return writers::encode_xarea(container);
}

std::vector<std::uint8_t> header_only_file() {
    writers::XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(sample_header(1, 1)), {}, {}});
    return writers::encode_xarea(container);
}

xi_header coded_header(std::int32_t width, std::int32_t height, std::int32_t delta16, std::int32_t delta32) {
    xi_header header = sample_header(width, height);
    writers::set_field(header.compression, 1);
    writers::set_field(header.delta16_count, delta16);
    writers::set_field(header.delta32_count, delta32);
    return header;
}

std::vector<std::uint8_t> codes(std::size_t count, std::uint8_t code, std::vector<std::uint8_t> then = {}) {
    std::vector<std::uint8_t> bytes(count, code);
    bytes.insert(bytes.end(), then.begin(), then.end());
    return bytes;
}

std::vector<Import> imports() {
    const std::vector<std::int32_t> pixels = {1, 2, 300000, 4, 5, 6};
    const auto plain = writers::plain_block(pixels);
    const auto coded = writers::compress_pixels(pixels);
    const xi_header sample_coded = coded_header(3, 2, coded.delta16_count, coded.delta32_count);
    const auto cut = [](std::vector<std::uint8_t> bytes, std::size_t drop) {
        bytes.resize(bytes.size() - drop);
        return bytes;
    };
    xi_header extra16 = sample_coded;
    writers::set_field(extra16.delta16_count, coded.delta16_count + 1);
    xi_header plain2 = sample_header(100, 100);
    writers::set_field(plain2.compression, 2);
    const std::string none = "0 0 0 0\n uncompressImage(): corrupt imagedata ";
    return {
        {"missing file", {}, "@", "@", false},
        {"not an X-Area file",
         {1, 2, 3},
         " readXImage(): no stoe xfile ERROR\n",
         " readXImage(): no stoe xfile ERROR\n"},
        {"no pixel entry", header_only_file(), " readXImage(): the file contains no image data ERROR\n",
         " readXImage(): the file contains no image data ERROR\n"},
        {"plain block one byte short", file_with(sample_header(3, 2), cut(plain, 1)), "@", ""},
        {"plain block of another image", file_with(sample_header(4, 2), plain), "@", ""},
        {"plain 100 x 100 with a 16-byte entry", file_with(sample_header(100, 100), codes(16, 0)), "@", ""},
        {"compression 2 with a short entry", file_with(plain2, codes(16, 0)), "@", ""},
        {"coded block without its last 32-bit value", file_with(sample_coded, cut(coded.bytes, 1)), "@",
         "2 2 0 0\n uncompressImage(): corrupt imagedata "},
        {"coded header counting a 16-bit value the block lacks: the 32-bit values move past its end",
         file_with(extra16, coded.bytes), "@", "2 2 0 1\n uncompressImage(): corrupt imagedata "},
        {"10 codes for 20 pixels", file_with(coded_header(20, 1, 0, 0), codes(10, 128)), "@", none},
        {"an empty coded entry", file_with(coded_header(4, 1, 0, 0), {}), "@", none},
        {"an entry ending one byte into its 16-bit value",
         file_with(coded_header(31, 1, 1, 0), codes(1, 254, codes(30, 127, {0x05}))), "@",
         "0 0 1 1\n uncompressImage(): corrupt imagedata "},
        {"negative width", file_with(sample_header(-4, 2), plain), "@", ""},
        {"negative height, coded", file_with(coded_header(3, -2, 0, 0), coded.bytes), "@",
         " uncompressImage(): no memory"},
        {"width x height beyond an int32", file_with(sample_header(65536, 65536), plain), "@", ""},
        {"width x height beyond the platform", file_with(sample_header(INT_MAX, INT_MAX), plain), "@", ""},
    };
}

TEST(XAreaImport, EachFunctionRefusesOnlyWhatItMustAndLeavesRecordsUntouchedThen) {
    TempDir dir;
    for (const Import &c : imports()) {
        SCOPED_TRACE(c.name);
        const std::string path = c.create ? dir.write("r.xa", c.bytes) : dir.file("missing.xa");
        const auto said = [&](const std::string &text) {
            return text == "@" ? kImportError + path + "\n" : text;
        };
        const int descriptors = open_descriptor_count();

        const pixel_image image_before = patterned<pixel_image>();
        const reduction_params params_before = unset_params();
        pixel_image image = image_before;
        reduction_params params = params_before;
        std::int32_t result = -1;
        EXPECT_EQ(capture_stdout([&] { result = read_xi(path.c_str(), &image, &params); }), said(c.read_xi));
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(same_bytes(image, image_before));
        EXPECT_TRUE(same_bytes(params, params_before));

        const bool refused = c.read_xi_header == "@" || c.read_xi_header.ends_with("ERROR\n");
        const image_info info_before = patterned<image_info>();
        image_info info = info_before;
        EXPECT_EQ(capture_stdout([&] { result = read_xi_header(path.c_str(), &info); }),
                  said(c.read_xi_header));
        EXPECT_EQ(result, refused ? 0 : 1);
        if (refused) {
            EXPECT_TRUE(same_bytes(info, info_before));
        } else {
            EXPECT_STREQ(info.path, path.c_str());
            EXPECT_EQ(info.overload_count, 17);
        }
        EXPECT_EQ(open_descriptor_count(), descriptors);
    }
}

TEST(XAreaImport, HeaderCountsThatDisagreeWithCompleteCodesLoadTheImage) {
    // Three codes that take no value, under a header that counts five 16-bit values the entry lacks.
    TempDir dir;
    const std::string path = dir.write("m.xa", file_with(coded_header(3, 1, 5, 0), {128, 129, 127}));
    const std::string report = "0 0 0 5\n uncompressImage(): corrupt imagedata ";
    pixel_image image{};
    reduction_params params = unset_params();
    std::int32_t result = 0;
    EXPECT_EQ(capture_stdout([&] { result = read_xi(path.c_str(), &image, &params); }), report);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(std::vector<std::int32_t>(image.pixels, image.pixels + 3),
              (std::vector<std::int32_t>{1, 3, 3}));
    std::free(image.pixels);
    image_info info{};
    EXPECT_EQ(capture_stdout([&] { result = read_xi_header(path.c_str(), &info); }), report);
    EXPECT_EQ(result, 1);
}

TEST(XAreaImport, PathLongerThanTheRecordIsRefused) {
    const std::string path = "/" + std::string(PLATEIO_PATH_CAPACITY, 'p');
    const image_info before = patterned<image_info>();
    image_info info = before;
    std::int32_t result = -1;
    EXPECT_EQ(capture_stdout([&] { result = read_xi_header(path.c_str(), &info); }),
              kImportError + path + "\n");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(same_bytes(info, before));
}

TEST(XAreaImport, AThousandCallsLeaveNoDescriptorAndNoBlock) {
    TempDir dir;
    const auto pixels = sample_pixels(50 * 40, 9);
    std::vector<std::string> paths = {
        dir.write("plain.xa", writers::xarea_file(sample_header(50, 40), pixels, false)),
        dir.write("coded.xa", writers::xarea_file(sample_header(50, 40), pixels, true)),
        dir.write("short.xa", file_with(sample_header(50, 40), {1, 2, 3})),
        dir.write("bad.xa", std::vector<std::uint8_t>{9, 9, 9}),
        dir.file("missing.xa"),
    };
    const auto every_path_once = [&] {
        for (const std::string &path : paths) {
            pixel_image image{};
            reduction_params params = unset_params();
            if (read_xi(path.c_str(), &image, &params) == 1) {
                std::free(image.pixels);
            }
            image_info info{};
            read_xi_header(path.c_str(), &info);
        }
    };
    expect_rounds_keep_nothing(every_path_once);
}

} // namespace
} // namespace plateio::test
