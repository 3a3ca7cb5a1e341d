// Every instruction-set version of the difference decoder gives exactly the portable version's
// pixels, counts and overflow, whatever the stream (escapes at every position of a vector block, runs
// of escapes, odd lengths and section boundaries, sections shorter than the codes ask, wrap-around),
// and so does a decode of the same codes in stretches, as the import streams them.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "xarea/decode.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

using xarea::CodedSections;

struct Block {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::size_t pixels;
    std::int32_t delta16;
    std::int32_t delta32;
};

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

struct Decoded {
    std::vector<std::int32_t> pixels; // one more than the block's, the last a sentinel
    xarea::Taken taken;
    std::uint64_t overflow = 0;
};

// Decodes `block` on `isa`, its codes in stretches of at most `stretch` (0: all at once).
Decoded decode(Isa isa, const Block &block, const std::int32_t *threshold, std::size_t stretch = 0) {
    const auto layout = xarea::entry_layout(block.pixels, block.bytes.size(), block.delta16, block.delta32);
    const std::span<const std::uint8_t> bytes(block.bytes);
    CodedSections sections = xarea::value_sections(bytes.subspan(layout.codes), layout);
    Decoded out;
    out.pixels.assign(block.pixels + 1, 0x5a5a5a5a);
    xarea::DecodeState state;
    for (std::size_t at = 0; at < layout.codes;) {
        const std::size_t count = stretch == 0 ? layout.codes : std::min(stretch, layout.codes - at);
        sections.codes = bytes.subspan(at, count);
        xarea::decode_codes(isa, sections, out.pixels.data() + at, count, state, threshold);
        at += count;
    }
    out.taken = state.taken();
    out.overflow = state.overflow;
    return out;
}

TEST(XAreaDecodePaths, EveryVersionAndEveryStretchingMatchesThePortableVersion) {
    const std::int32_t thresholds[] = {INT_MIN, -1, 200, INT_MAX};
    for (const Block &block : blocks()) {
        for (const std::int32_t *threshold : {static_cast<const std::int32_t *>(nullptr), &thresholds[0],
                                              &thresholds[1], &thresholds[2], &thresholds[3]}) {
            const Decoded expected = decode(Isa::portable, block, threshold);
            for (const Isa isa : supported_isas()) {
                for (const std::size_t stretch :
                     {std::size_t{0}, std::size_t{1}, std::size_t{31}, std::size_t{64}}) {
                    SCOPED_TRACE(block.name + " / " + isa_name(isa) + " / stretches of " +
                                 std::to_string(stretch) +
                                 (threshold ? " / threshold " + std::to_string(*threshold) : " / plain"));
                    const Decoded actual = decode(isa, block, threshold, stretch);
                    EXPECT_EQ(actual.pixels, expected.pixels)
                        << "(pixels without a code, and the one past the end, "
                           "must stay untouched)";
                    EXPECT_EQ(actual.taken.values16, expected.taken.values16);
                    EXPECT_EQ(actual.taken.values32, expected.taken.values32);
                    EXPECT_EQ(actual.overflow, expected.overflow);
                }
            }
        }
    }
}

TEST(XAreaDecodePaths, EveryVersionDecodesTheEncodersOutput) {
    std::mt19937 random(5);
    std::vector<std::int32_t> pixels(10007);
    for (auto &p : pixels) {
        p = static_cast<std::int32_t>(random() % 100 == 0 ? random() : 300 + random() % 40);
    }
    const auto coded = writers::compress_pixels(pixels);
    const Block block{"encoded", coded.bytes, pixels.size(), coded.delta16_count, coded.delta32_count};
    for (const Isa isa : supported_isas()) {
        SCOPED_TRACE(isa_name(isa));
        Decoded out = decode(isa, block, nullptr);
        out.pixels.pop_back();
        EXPECT_EQ(out.pixels, pixels);
        EXPECT_EQ(out.taken.values16, static_cast<std::uint64_t>(coded.delta16_count));
        EXPECT_EQ(out.taken.values32, static_cast<std::uint64_t>(coded.delta32_count));
    }
}

} // namespace
} // namespace plateio::test
