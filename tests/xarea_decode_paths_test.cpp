// Every instruction-set path of the difference decoder gives exactly the scalar path's pixels,
// counts and overflow, whatever the stream: escapes at every position of a vector block, runs of
// escapes, odd lengths and section boundaries, sections shorter than the codes ask, wrap-around.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "xarea/decode.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

using xarea::CodedSections;
using xarea::DecodePath;

struct Block {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::size_t pixels;
    std::int32_t delta16;
    std::int32_t delta32;
};

std::vector<DecodePath> vector_paths() {
    std::vector<DecodePath> paths;
    if (xarea::path_supported(DecodePath::avx2)) {
        paths.push_back(DecodePath::avx2);
    }
    return paths;
}

const char *path_name(DecodePath path) {
    return path == DecodePath::avx2 ? "avx2" : "scalar";
}

// A block of `codes` followed by random side values, as many as the codes take, give or take `skew`.
Block random_block(std::string name, std::vector<std::uint8_t> codes, std::mt19937 &random, int skew16 = 0,
                   int skew32 = 0) {
    std::int32_t n16 = 0;
    std::int32_t n32 = 0;
    for (std::uint8_t c : codes) {
        n16 += c == 254 ? 1 : 0;
        n32 += c == 255 ? 1 : 0;
    }
    n16 = std::max(0, n16 + skew16);
    n32 = std::max(0, n32 + skew32);
    Block block{std::move(name), std::move(codes), 0, n16, n32};
    block.pixels = block.bytes.size();
    for (std::int32_t i = 0; i < 2 * n16 + 4 * n32; ++i) {
        block.bytes.push_back(static_cast<std::uint8_t>(random()));
    }
    return block;
}

std::vector<Block> blocks() {
    std::mt19937 random(2024);
    std::vector<Block> out;
    // One escape at each position of a 64-code stretch, of each kind, in streams of odd length.
    for (const std::uint8_t escape : {std::uint8_t{254}, std::uint8_t{255}}) {
        for (std::size_t position = 0; position < 64; ++position) {
            std::vector<std::uint8_t> codes(64 + 37, 128);
            codes[position] = escape;
            codes[position + 37] = escape;
            out.push_back(random_block("escape " + std::to_string(escape) + " at " + std::to_string(position),
                                       codes, random));
        }
    }
    // Every length from 0 to a few hundred, random codes with some escapes.
    for (std::size_t n = 0; n < 300; n += (n < 70 ? 1 : 13)) {
        std::vector<std::uint8_t> codes(n);
        for (auto &c : codes) {
            const auto r = random() % 100;
            c = r < 5 ? 254 : r < 8 ? 255 : static_cast<std::uint8_t>(random() % 254);
        }
        out.push_back(random_block("random length " + std::to_string(n), codes, random));
    }
    // Runs of escapes and adversarial blocks.
    std::vector<std::uint8_t> runs;
    for (int run = 1; run < 40; ++run) {
        runs.insert(runs.end(), static_cast<std::size_t>(run),
                    static_cast<std::uint8_t>(run % 3 == 0 ? 255 : 254));
        runs.insert(runs.end(), static_cast<std::size_t>(run % 7), 127);
    }
    out.push_back(random_block("runs of escapes", runs, random));
    out.push_back(random_block("all 254", std::vector<std::uint8_t>(1001, 254), random));
    out.push_back(random_block("all 255", std::vector<std::uint8_t>(1001, 255), random));
    std::vector<std::uint8_t> noise(4099);
    for (auto &c : noise) {
        c = static_cast<std::uint8_t>(random());
    }
    out.push_back(random_block("random bytes", noise, random));
    // Dense escapes of both kinds: the vector paths expand side values in registers here, and fall
    // back to patching near the end of each section.
    std::vector<std::uint8_t> dense(5003);
    for (auto &c : dense) {
        const auto r = random() % 4;
        c = r == 0 ? 254 : r == 1 ? 255 : static_cast<std::uint8_t>(random() % 254);
    }
    out.push_back(random_block("dense mixed escapes", dense, random));
    // Sections shorter than the codes ask (values past them add 0), and longer.
    out.push_back(random_block("16-bit section short", std::vector<std::uint8_t>(333, 254), random, -100, 0));
    out.push_back(random_block("32-bit section short", std::vector<std::uint8_t>(333, 255), random, 0, -200));
    out.push_back(random_block("sections longer than used", noise, random, 50, 50));
    // Wrap-around: large 32-bit steps.
    std::vector<std::int32_t> wrapping(513);
    for (std::size_t i = 0; i < wrapping.size(); ++i) {
        wrapping[i] =
            (i % 2 == 0) ? INT_MAX - static_cast<std::int32_t>(i) : INT_MIN + static_cast<std::int32_t>(i);
    }
    const auto coded = writers::compress_pixels(wrapping);
    out.push_back({"wrap-around", coded.bytes, wrapping.size(), coded.delta16_count, coded.delta32_count});
    // Codes missing at the end of the block.
    Block missing = random_block("codes missing", std::vector<std::uint8_t>(100, 130), random);
    missing.pixels = 150;
    out.push_back(missing);
    return out;
}

TEST(XAreaDecodePaths, EveryPathMatchesTheScalarPath) {
    const auto paths = vector_paths();
    if (paths.empty()) {
        GTEST_SKIP() << "this processor runs only the scalar path";
    }
    const std::int32_t thresholds[] = {INT_MIN, -1, 200, INT_MAX};
    for (const Block &block : blocks()) {
        const auto layout = xarea::coded_layout(block.bytes, block.pixels, block.delta16, block.delta32);
        for (const std::int32_t *threshold : {static_cast<const std::int32_t *>(nullptr), &thresholds[0],
                                              &thresholds[1], &thresholds[2], &thresholds[3]}) {
            std::vector<std::int32_t> expected(block.pixels + 1, 0x5a5a5a5a);
            const auto reference = xarea::decode_on(DecodePath::scalar, layout.sections, expected.data(),
                                                    block.pixels, threshold);
            for (DecodePath path : paths) {
                SCOPED_TRACE(block.name + " / " + path_name(path) +
                             (threshold ? " / threshold " + std::to_string(*threshold) : " / plain"));
                std::vector<std::int32_t> pixels(block.pixels + 1, 0x5a5a5a5a);
                const auto result =
                    xarea::decode_on(path, layout.sections, pixels.data(), block.pixels, threshold);
                EXPECT_EQ(pixels, expected) << "(the element past the end must stay untouched too)";
                EXPECT_EQ(result.taken.values16, reference.taken.values16);
                EXPECT_EQ(result.taken.values32, reference.taken.values32);
                EXPECT_EQ(result.overflow_count, reference.overflow_count);
            }
        }
    }
}

TEST(XAreaDecodePaths, ScalarPathDecodesTheEncodersOutput) {
    std::mt19937 random(5);
    std::vector<std::int32_t> pixels(10007);
    for (auto &p : pixels) {
        p = static_cast<std::int32_t>(random() % 100 == 0 ? random() : 300 + random() % 40);
    }
    const auto coded = writers::compress_pixels(pixels);
    const auto layout =
        xarea::coded_layout(coded.bytes, pixels.size(), coded.delta16_count, coded.delta32_count);
    ASSERT_TRUE(layout.complete);
    for (DecodePath path : {DecodePath::scalar, xarea::best_decode_path()}) {
        SCOPED_TRACE(path_name(path));
        std::vector<std::int32_t> out(pixels.size());
        const auto result = xarea::decode_on(path, layout.sections, out.data(), out.size(), nullptr);
        EXPECT_EQ(out, pixels);
        EXPECT_EQ(result.taken.values16, static_cast<std::uint64_t>(coded.delta16_count));
        EXPECT_EQ(result.taken.values32, static_cast<std::uint64_t>(coded.delta32_count));
    }
}

} // namespace
} // namespace plateio::test
