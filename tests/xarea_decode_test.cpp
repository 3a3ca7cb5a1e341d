// uncompressImage: the difference code, its count report, and blocks that do not hold what their
// header says.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include "plateio.h"
#include "support/console.hpp"
#include "support/temp_dir.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

struct Stream {
    std::vector<std::uint8_t> codes;
    std::vector<std::int16_t> values16;
    std::vector<std::int32_t> values32;
};

std::vector<std::uint8_t> pack(const Stream &s) {
    std::vector<std::uint8_t> bytes = s.codes;
    const auto append = [&](auto value) {
        const auto le = writers::le_bytes(value);
        bytes.insert(bytes.end(), le.begin(), le.end());
    };
    for (std::int16_t v : s.values16) {
        append(v);
    }
    for (std::int32_t v : s.values32) {
        append(v);
    }
    return bytes;
}

void *malloc_copy(const std::vector<std::uint8_t> &bytes) {
    void *block = std::malloc(bytes.empty() ? 1 : bytes.size());
    if (!bytes.empty()) {
        std::memcpy(block, bytes.data(), bytes.size());
    }
    return block;
}

struct DecodeCase {
    const char *name;
    Stream stream;
    std::vector<std::int32_t> expected;
    // Counts stored in the header; -2 means "the counts the stream really holds".
    std::int32_t delta16_count = -2;
    std::int32_t delta32_count = -2;
    std::string printed;
};

const DecodeCase kDecodeCases[] = {
    {"all 127 decode to zeros", {{127, 127, 127, 127}, {}, {}}, {0, 0, 0, 0}, -2, -2, ""},
    {"one-byte differences accumulate", {{128, 128, 126}, {}, {}}, {1, 2, 1}, -2, -2, ""},
    {"code 0 lowers by 127, 253 raises by 126", {{0, 253, 253}, {}, {}}, {-127, -1, 125}, -2, -2, ""},
    {"a first 16-bit value is the first pixel", {{254, 127}, {-5}, {}}, {-5, -5}, -2, -2, ""},
    {"a first 32-bit value is the first pixel", {{255}, {}, {123456789}}, {123456789}, -2, -2, ""},
    {"255 adds, it does not set", {{137, 255}, {}, {500}}, {10, 510}, -2, -2, ""},
    {"16-bit values are sign-extended", {{254, 254}, {-32768, 32767}, {}}, {-32768, -1}, -2, -2, ""},
    {"side values are taken in order",
     {{254, 255, 254, 255, 127}, {100, -200}, {1000000, -3000000}},
     {100, 1000100, 999900, -2000100, -2000100},
     -2,
     -2,
     ""},
    {"the running sum wraps at 32 bits",
     {{255, 128, 255}, {}, {INT32_MAX, INT32_MIN}},
     {INT32_MAX, INT32_MIN, 0},
     -2,
     -2,
     ""},
    {"odd pixel count: 32-bit values at an odd byte",
     {{254, 255, 128}, {7}, {-70000}},
     {7, -69993, -69992},
     -2,
     -2,
     ""},
    {"count mismatch is reported, pixels still decoded",
     {{255, 127, 127}, {9, 9}, {42}},
     {42, 42, 42},
     2,
     1,
     "1 1 0 2\n uncompressImage(): corrupt imagedata "},
    {"codes asking past their section add 0 and are counted",
     {{255, 255, 254}, {}, {42}},
     {42, 42, 42},
     0,
     1,
     "2 1 1 0\n uncompressImage(): corrupt imagedata "},
    {"a negative count defines no values",
     {{254, 128}, {}, {}},
     {0, 1},
     -1,
     0,
     "0 0 1 -1\n uncompressImage(): corrupt imagedata "},
    {"no pixels at all", {{}, {}, {}}, {}, -2, -2, ""},
};

TEST(XAreaDecode, DifferenceCodeClasses) {
    for (const DecodeCase &c : kDecodeCases) {
        SCOPED_TRACE(c.name);
        xi_header header = writers::make_xi_header(static_cast<std::int32_t>(c.stream.codes.size()), 1, 1);
        writers::set_field(header.delta16_count, c.delta16_count == -2
                                                     ? static_cast<std::int32_t>(c.stream.values16.size())
                                                     : c.delta16_count);
        writers::set_field(header.delta32_count, c.delta32_count == -2
                                                     ? static_cast<std::int32_t>(c.stream.values32.size())
                                                     : c.delta32_count);
        void *block = malloc_copy(pack(c.stream));
        EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), c.printed);
        ASSERT_NE(block, nullptr);
        const auto *pixels = static_cast<const std::int32_t *>(block);
        EXPECT_EQ(std::vector<std::int32_t>(pixels, pixels + c.expected.size()), c.expected);
        std::free(block);
    }
}

TEST(XAreaDecode, EncoderRoundTripOverEveryDifferenceClass) {
    std::mt19937 random(11);
    std::vector<std::int32_t> pixels(100003); // odd: the 32-bit section starts at an odd byte
    std::int32_t value = 0;
    for (auto &p : pixels) {
        switch (random() % 8) {
        case 0:
            value = static_cast<std::int32_t>(random()); // 32-bit jumps, wrapping
            break;
        case 1:
            value += static_cast<std::int32_t>(random() % 60001) - 30000; // mostly 16-bit
            break;
        default:
            value += static_cast<std::int32_t>(random() % 254) - 127; // one byte
        }
        p = value;
    }
    const writers::CompressedBlock coded = writers::compress_pixels(pixels);
    ASSERT_GT(coded.delta16_count, 1000);
    ASSERT_GT(coded.delta32_count, 1000);
    xi_header header = writers::make_xi_header(1, static_cast<std::int32_t>(pixels.size()), 1);
    writers::set_field(header.delta16_count, coded.delta16_count);
    writers::set_field(header.delta32_count, coded.delta32_count);
    void *block = malloc_copy(coded.bytes);
    EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), "");
    EXPECT_EQ(std::memcmp(block, pixels.data(), pixels.size() * 4), 0);
    std::free(block);
}

TEST(XAreaDecode, OtherCompressionFlagsLeaveTheBlock) {
    for (std::int32_t flag : {0, 2, -1, 257}) {
        SCOPED_TRACE(flag);
        xi_header header = writers::make_xi_header(2, 1, flag);
        void *const original = malloc_copy({128, 128});
        void *block = original;
        EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), "");
        EXPECT_EQ(block, original);
        EXPECT_EQ(static_cast<std::uint8_t *>(block)[0], 128);
        std::free(block);
    }
}

TEST(XAreaDecode, ImpossibleSizesTakeTheNoMemoryPath) {
    const std::pair<std::int32_t, std::int32_t> sizes[] = {
        {-1, 5}, {5, -1}, {INT_MIN, 1}, {INT_MAX, INT_MAX}};
    for (auto [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        xi_header header = writers::make_xi_header(width, height, 1);
        void *const original = malloc_copy({128, 128});
        void *block = original;
        EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), " uncompressImage(): no memory");
        EXPECT_EQ(block, original);
        std::free(block);
    }
}

// A block from readXImage that is shorter than its header says is read only within its allocation:
// every pixel is still produced, those before the cut exactly, missing codes and values add 0 (the
// few bytes an allocator rounds a block up by read as zero), and the stream is reported as corrupt
// even when the counts agree.
TEST(XAreaDecode, BlockShorterThanItsSectionsIsReadOnlyAsFarAsItGoes) {
    struct Short {
        const char *name;
        std::vector<std::uint8_t> block;
        std::int32_t delta16_count;
        std::int32_t delta32_count;
        std::vector<std::int32_t> exact_prefix;
        std::string printed;
    };
    constexpr std::int32_t kPixels = 300; // far beyond any allocator's rounding
    const Short cases[] = {
        {"codes cut short", {130, 128}, 0, 0, {3, 4}, "0 0 0 0\n uncompressImage(): corrupt imagedata "},
        {"16-bit section cut short",
         {254, 128, 5},
         1,
         0,
         {},
         "0 0 1 1\n uncompressImage(): corrupt imagedata "},
        {"nothing but a 32-bit escape", {255}, 0, 1, {}, "1 1 0 0\n uncompressImage(): corrupt imagedata "},
    };
    TempDir dir;
    for (const Short &c : cases) {
        SCOPED_TRACE(c.name);
        writers::XiContainer container;
        xi_header record = writers::make_xi_header(kPixels, 1, 1);
        writers::set_field(record.delta16_count, c.delta16_count);
        writers::set_field(record.delta32_count, c.delta32_count);
        container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(record), {}, {}});
        container.entries.push_back({"XArea_Image", c.block, {}, {}});
        const std::string path = dir.write("short.xa", writers::encode_xarea(container));
        xi_header header;
        void *block = nullptr;
        ASSERT_EQ(readXImage(path.c_str(), &header, &block), 1);
        EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), c.printed);
        const auto *pixels = static_cast<const std::int32_t *>(block);
        EXPECT_EQ(std::vector<std::int32_t>(pixels, pixels + c.exact_prefix.size()), c.exact_prefix);
        EXPECT_EQ(pixels[kPixels - 1], pixels[kPixels - 2]) << "missing codes add 0";
        std::free(block);
    }
}

} // namespace
} // namespace plateio::test
