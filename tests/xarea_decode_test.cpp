// uncompressImage: the difference code, its count report, and blocks that do not hold what their
// header says.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>
#include <random>
#include <unistd.h>

#include "plateio.h"
#include "support/child.hpp"
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
    // A negative side is refused even where the product would be positive or 0.
    const std::pair<std::int32_t, std::int32_t> sizes[] = {{-1, 5}, {5, -1},      {-2, -3},
                                                           {-1, 0}, {INT_MIN, 1}, {INT_MAX, INT_MAX}};
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

// An entry that ends early, as readXImage hands it out: pixels past its last code are 0, a code whose
// value lies past the entry's end adds 0 and is counted, and the block is reported corrupt even when
// the counts agree. Nothing behind the entry is decoded.
TEST(XAreaDecode, EntriesThatEndEarlyGiveZerosAndAreReported) {
    struct Short {
        const char *name;
        std::int32_t width;
        std::vector<std::uint8_t> entry;
        std::int32_t delta16_count;
        std::int32_t delta32_count;
        std::vector<std::int32_t> expected;
        std::string printed;
    };
    const std::string corrupt = "\n uncompressImage(): corrupt imagedata ";
    std::vector<std::uint8_t> sixteen_cut = {254};
    sixteen_cut.insert(sixteen_cut.end(), 30, 127);
    sixteen_cut.push_back(0x05);
    const Short cases[] = {
        {"10 codes for 20 pixels",
         20,
         std::vector<std::uint8_t>(10, 128),
         0,
         0,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "0 0 0 0" + corrupt},
        {"an empty entry", 4, {}, 0, 0, {0, 0, 0, 0}, "0 0 0 0" + corrupt},
        {"ending one byte into its 16-bit value", 31, sixteen_cut, 1, 0, std::vector<std::int32_t>(31, 0),
         "0 0 1 1" + corrupt},
        {"ending inside its 32-bit value", 3, {255, 128, 128, 1, 0, 0}, 0, 1, {0, 1, 2}, "1 1 0 0" + corrupt},
        {"a whole entry is no report", 3, {128, 128, 126}, 0, 0, {1, 2, 1}, ""},
    };
    TempDir dir;
    for (const Short &c : cases) {
        SCOPED_TRACE(c.name);
        writers::XiContainer container;
        xi_header record = writers::make_xi_header(c.width, 1, 1);
        writers::set_field(record.delta16_count, c.delta16_count);
        writers::set_field(record.delta32_count, c.delta32_count);
        container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(record), {}, {}});
        container.entries.push_back({"XArea_Image", c.entry, {}, {}});
        const std::string path = dir.write("short.xa", writers::encode_xarea(container));
        xi_header header;
        void *block = nullptr;
        ASSERT_EQ(readXImage(path.c_str(), &header, &block), 1);
        // Bytes between the entry and the trailer are the library's zeros, and the trailer itself is
        // no code either: decoded, they would step pixels past the entry by -127.
        EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), c.printed);
        const auto *pixels = static_cast<const std::int32_t *>(block);
        EXPECT_EQ(std::vector<std::int32_t>(pixels, pixels + c.expected.size()), c.expected);
        std::free(block);
    }
}

// A 597-byte file whose header claims 46340 x 46340 pixels over a one-byte pixel entry: decoding it
// costs no more memory than the entry describes (the eight gigabytes of the array are zero pages that
// are never written), and where the address space cannot hold the array it takes the no-memory path.
// read_xi refuses the file before allocating anything; read_xi_header reads no pixel.
TEST(XAreaDecode, AOneByteEntryUnderAHugeHeaderCostsNoMemory) {
    if (under_sanitizer()) {
        GTEST_SKIP() << "a sanitizer writes a shadow byte for every eight of the 8 GiB array";
    }
    TempDir dir;
    writers::XiContainer container;
    container.entries.push_back(
        {"XArea_ImgHdr", writers::record_bytes(writers::make_xi_header(46340, 46340, 1)), {}, {}});
    container.entries.push_back({"XArea_Image", {128}, {}, {}});
    const std::vector<std::uint8_t> bytes = writers::encode_xarea(container);
    ASSERT_EQ(bytes.size(), 597u);
    const std::string path = dir.write("huge.xa", bytes);
    const std::string report = "0 0 0 0\n uncompressImage(): corrupt imagedata ";
    for (const bool limited : {false, true}) {
        SCOPED_TRACE(limited ? "address space limited" : "address space free");
        const ChildResult child = in_child([&] {
            if (limited && !limit_address_space_growth(std::size_t{256} << 20)) {
                return 2; // a sanitizer's address space cannot be limited
            }
            int status = 0;
            const long growth = peak_resident_growth_kib([&] {
                xi_header header;
                void *block = nullptr;
                if (readXImage(path.c_str(), &header, &block) != 1) {
                    status = 10;
                    return;
                }
                void *const coded = block;
                uncompressImage(&header, &block);
                const auto *pixels = static_cast<const std::int32_t *>(block);
                const std::size_t last = std::size_t{46340} * 46340 - 1;
                if (block == coded) {
                    std::printf("|kept");
                } else if (pixels[0] != 1 || pixels[1] != 0 || pixels[last] != 0) {
                    status = 11;
                }
                std::free(block);
                pixel_image image{};
                reduction_params params{};
                image_info info{};
                const int loaded = read_xi(path.c_str(), &image, &params);
                std::printf("|%d", loaded);
                const int described = read_xi_header(path.c_str(), &info);
                std::printf("|%d", described);
            });
            return status != 0 ? status : growth < 64 * 1024 ? 0 : 12;
        });
        ASSERT_TRUE(child.exited) << "signal " << child.signal;
        if (child.status == 2) {
            continue;
        }
        EXPECT_EQ(child.status, 0);
        const std::string refused = "# \x1b[31;1mERROR\x1b[0m READING " + path + "\n";
        if (limited && sizeof(void *) == 8) {
            EXPECT_EQ(child.out, " uncompressImage(): no memory|kept" + refused + "|0" + report + "|1");
        } else if (sizeof(void *) == 8) {
            EXPECT_EQ(child.out, report + refused + "|0" + report + "|1");
        }
    }
}

// A host frees a block of readXImage (or uncompressImage releases it) and its allocator hands the
// same memory back for a complete block of the host's own, whose slack the host never writes: the
// trailer left there must not shorten the host's entry. The reuse is emulated (the host's entry
// written over the block it replaces) and, where the allocator hands the memory back, done for real.
// ctest runs this again with other allocators preloaded, PLATEIO_PRELOADED naming a symbol of theirs.
TEST(XAreaDecode, AStaleTrailerNeverShortensAHostsBlock) {
    const char *preloaded = std::getenv("PLATEIO_PRELOADED");
    if (preloaded != nullptr && dlsym(RTLD_DEFAULT, preloaded) == nullptr) {
        const char *library = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(library == nullptr || access(library, R_OK) != 0)
            << library << " is installed, not preloaded";
        GTEST_SKIP() << "the allocator is not installed: " << (library ? library : "LD_PRELOAD unset");
    }
    struct Reuse {
        const char *name;
        std::size_t old_length;
        std::uint8_t old_code;
        std::uint8_t host_code;
        bool longer; // the host's entry fills the allocation up to where the trailer lies
    };
    const Reuse cases[] = {
        {"other codes, a longer entry", 10, 128, 129, true},
        {"the same codes, a longer entry", 10, 128, 128, true},
        {"the same entry again", 10, 130, 130, false},
        {"a sampled entry, other codes, longer", 20000, 128, 126, true},
        {"a sampled entry, the same codes, longer", 20000, 128, 128, true},
        {"a large entry, other codes, longer", 3000000, 128, 129, true},
    };
    enum class Route { emulated, freed, released };
    int reused = 0;
    TempDir dir;
    for (const Reuse &c : cases) {
        for (const Route route : {Route::emulated, Route::freed, Route::released}) {
            SCOPED_TRACE(std::string(c.name) + ", route " + std::to_string(static_cast<int>(route)));
            const auto width = static_cast<std::int32_t>(c.old_length);
            writers::XiContainer container;
            container.entries.push_back(
                {"XArea_ImgHdr", writers::record_bytes(writers::make_xi_header(width, 1, 1)), {}, {}});
            container.entries.push_back(
                {"XArea_Image", std::vector<std::uint8_t>(c.old_length, c.old_code), {}, {}});
            const std::string path = dir.write("old.xa", writers::encode_xarea(container));
            xi_header header;
            void *block = nullptr;
            ASSERT_EQ(readXImage(path.c_str(), &header, &block), 1);
            void *const old = block;
            const std::size_t allocated = malloc_usable_size(block);
            std::uint8_t trailer[16];
            std::memcpy(trailer, static_cast<std::uint8_t *>(block) + allocated - 16, 16);
            if (route == Route::released) {
                EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), "");
            }
            if (route != Route::emulated) {
                void *const pixels = route == Route::released ? block : nullptr;
                std::free(route == Route::freed ? block : nullptr);
                block = std::malloc(allocated);
                std::free(pixels);
                if (block != old || malloc_usable_size(block) != allocated) {
                    std::free(block); // this allocator (or a sanitizer's) did not hand the memory back
                    continue;
                }
                ++reused;
            }
            auto *bytes = static_cast<std::uint8_t *>(block);
            if (route == Route::released) {
                EXPECT_NE(std::memcmp(bytes + allocated - 16, trailer, 16), 0)
                    << "the trailer outlived its block";
            }
            const std::size_t host_length = c.longer ? allocated - 16 : c.old_length;
            if (host_length <= c.old_length && c.longer) {
                std::free(block); // no slack between the entry and the trailer to grow into
                continue;
            }
            std::memset(bytes, c.host_code, host_length);
            header = writers::make_xi_header(static_cast<std::int32_t>(host_length), 1, 1);
            EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), "");
            const auto *pixels = static_cast<const std::int32_t *>(block);
            for (std::size_t i = 0; i < host_length; ++i) {
                ASSERT_EQ(pixels[i], static_cast<std::int32_t>(i + 1) * (c.host_code - 127)) << "pixel " << i;
            }
            std::free(block);
        }
    }
    if (preloaded != nullptr) {
        EXPECT_GT(reused, 0) << "the allocator never handed the memory back: nothing was tried";
    }
}

// A block the host made itself carries no trailer, so it is taken whole, as far as its allocation
// goes: a complete one decodes exactly whatever stale bytes its allocator's slack holds.
TEST(XAreaDecode, AHostsOwnCompleteBlockDecodesExactlyWhateverItsSlackHolds) {
    const Stream stream{{254, 255, 128, 127, 254}, {-300, 400}, {70000}};
    const std::vector<std::uint8_t> bytes = pack(stream);
    for (const std::uint8_t stale : {std::uint8_t{0x00}, std::uint8_t{0xfe}, std::uint8_t{0xff}}) {
        SCOPED_TRACE(static_cast<int>(stale));
        xi_header header = writers::make_xi_header(5, 1, 1);
        writers::set_field(header.delta16_count, 2);
        writers::set_field(header.delta32_count, 1);
        void *block = malloc_copy(bytes);
        std::memset(static_cast<std::uint8_t *>(block) + bytes.size(), stale,
                    malloc_usable_size(block) - bytes.size());
        EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), "");
        const auto *pixels = static_cast<const std::int32_t *>(block);
        EXPECT_EQ(std::vector<std::int32_t>(pixels, pixels + 5),
                  (std::vector<std::int32_t>{-300, 69700, 69701, 69701, 70101}));
        std::free(block);
    }
}

} // namespace
} // namespace plateio::test
