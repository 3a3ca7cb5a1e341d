// read_tra and read_short_tra: the saturation mark, every way a file is refused, and resources.
#include <gtest/gtest.h>

#include <cstdlib>

#include "plateio.h"
#include "support/console.hpp"
#include "support/leak_check.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "tra_writer.hpp"

namespace plateio::test {
namespace {

using Reader = std::int32_t (*)(const char *, std::int32_t **, std::int32_t *, std::int32_t *);

struct Variant {
    const char *name;
    Reader read;
    std::int32_t saturated_as;
    const char *failure_suffix;
};

const Variant kVariants[] = {
    {"read_tra", read_tra, PIXEL_OVERFLOW, " returning 0\n"},
    {"read_short_tra", read_short_tra, 65535, "\n"},
};

writers::TraFile small_file(std::vector<std::uint16_t> stream_of_row0_and_1199) {
    writers::TraFile file;
    // Half of the values go to row 0 and half to row 1199: half-width size / 4, table value size / 2.
    file.row_table[0] = static_cast<std::uint16_t>(stream_of_row0_and_1199.size() / 2);
    file.stream = std::move(stream_of_row0_and_1199);
    return file;
}

TEST(TraReaders, SaturationMarkIsTheOnlyValueReplaced) {
    TempDir dir;
    const std::string path =
        dir.write("saturated.tra", writers::encode_tra(small_file({65535, 65534, 0, 65535})));
    for (const Variant &v : kVariants) {
        SCOPED_TRACE(v.name);
        std::int32_t *pixels = nullptr;
        std::int32_t width = 0;
        std::int32_t height = 0;
        ASSERT_EQ(v.read(path.c_str(), &pixels, &width, &height), 1);
        EXPECT_EQ(pixels[599], v.saturated_as);
        EXPECT_EQ(pixels[600], 65534);
        EXPECT_EQ(pixels[1199 * 1200 + 599], 0);
        EXPECT_EQ(pixels[1199 * 1200 + 600], v.saturated_as);
        std::free(pixels);
    }
}

TEST(TraReaders, BytesAfterTheStreamAreIgnored) {
    TempDir dir;
    auto bytes = writers::encode_tra(small_file({1, 2, 3, 4}));
    bytes.insert(bytes.end(), {0xff, 0xff, 0x01});
    const std::string path = dir.write("trailing.tra", bytes);
    std::int32_t *pixels = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    ASSERT_EQ(read_tra(path.c_str(), &pixels, &width, &height), 1);
    EXPECT_EQ(pixels[1199 * 1200 + 600], 4);
    std::free(pixels);
}

struct Damage {
    const char *name;
    std::vector<std::uint8_t> bytes; // empty name below means: do not create the file
    bool create = true;
};

std::vector<std::uint8_t> truncated(std::vector<std::uint8_t> bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}

std::vector<Damage> damaged_files() {
    const auto good = writers::encode_tra(small_file({1, 2, 3, 4})); // 1536 + 8 bytes
    writers::TraFile too_wide;
    too_wide.row_table[5] = 1202; // half-width 601
    too_wide.stream.assign(4 * 601, 1);
    writers::TraFile huge;
    huge.row_table.fill(65535);
    return {
        {"missing file", {}, false},
        {"empty file", {}},
        {"header only", truncated(good, 336)},
        {"row table cut short", truncated(good, 1535)},
        {"stream one value short", truncated(good, good.size() - 2)},
        {"stream ends inside a value", truncated(good, good.size() - 1)},
        {"row table value 1202 (half-width 601)", writers::encode_tra(too_wide)},
        {"row table of 65535s", writers::encode_tra(huge)},
    };
}

TEST(TraReaders, DamagedFilesAreRefusedWithTheVariantsMessage) {
    TempDir dir;
    for (const Damage &d : damaged_files()) {
        const std::string path = d.create ? dir.write("damaged.tra", d.bytes) : dir.file("absent.tra");
        for (const Variant &v : kVariants) {
            SCOPED_TRACE(std::string(d.name) + " / " + v.name);
            std::int32_t *pixels = untouched_pointer();
            std::int32_t width = -7;
            std::int32_t height = -8;
            std::int32_t result = -1;
            const int descriptors = open_descriptor_count();
            const std::string printed =
                capture_stdout([&] { result = v.read(path.c_str(), &pixels, &width, &height); });
            EXPECT_EQ(result, 0);
            EXPECT_EQ(printed, "# \x1b[0mERROR\x1b[0m READING " + path + v.failure_suffix);
            EXPECT_EQ(pixels, untouched_pointer());
            EXPECT_EQ(width, -7);
            EXPECT_EQ(height, -8);
            EXPECT_EQ(open_descriptor_count(), descriptors);
        }
    }
}

TEST(TraReaders, PathIsPrintedVerbatim) {
    TempDir dir;
    const std::string path = dir.file("100%d %s.tra");
    std::int32_t *pixels = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    EXPECT_EQ(capture_stdout([&] { read_short_tra(path.c_str(), &pixels, &width, &height); }),
              "# \x1b[0mERROR\x1b[0m READING " + path + "\n");
}

TEST(TraReaders, AThousandCallsLeaveNoDescriptorAndNoBlock) {
    TempDir dir;
    const std::string good = dir.write("good.tra", writers::encode_tra(small_file({1, 65535, 3, 4})));
    const std::string damaged = dir.write("damaged.tra", std::vector<std::uint8_t>(1000, 0));
    const std::string missing = dir.file("missing.tra");
    std::int32_t *pixels = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    const auto every_path_once = [&] {
        for (const std::string *path : {&good, &damaged, &missing}) {
            for (const Variant &v : kVariants) {
                if (v.read(path->c_str(), &pixels, &width, &height) == 1) {
                    std::free(pixels);
                }
            }
        }
    };
    expect_rounds_keep_nothing(every_path_once);
}

} // namespace
} // namespace plateio::test
