// The TRA header reader, the word-swapped reals and integers, and the image_info it fills.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>

#include "file_io.hpp"
#include "plateio.h"
#include "support/console.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "tra_writer.hpp"

namespace plateio::test {
namespace {

struct RealCase {
    const char *name;
    std::array<std::uint8_t, 8> bytes;
    double expected; // NaN: expect a NaN
};

const RealCase kRealCases[] = {
    {"one", {0x80, 0x40, 0, 0, 0, 0, 0, 0}, 1.0},
    {"negative", {0x20, 0xc1, 0, 0, 0, 0, 0, 0}, -2.5},
    {"hundred", {0xc8, 0x43, 0, 0, 0, 0, 0, 0}, 100.0},
    {"zero", {0, 0, 0, 0, 0, 0, 0, 0}, 0.0},
    {"low half is ignored", {0x80, 0x40, 0, 0, 0xff, 0xff, 0xff, 0xff}, 1.0},
    {"low fraction bits in bytes 2 and 3 count",
     {0x80, 0x40, 0x00, 0x80, 0, 0, 0, 0},
     1.0 + std::ldexp(1.0, -8)},
    {"IEEE 1.0 pattern is a quarter", {0x80, 0x3f, 0, 0, 0, 0, 0, 0}, 0.25},
    {"negative zero pattern", {0x00, 0x80, 0, 0, 0, 0, 0, 0}, -0.0},
    {"exponent 0 with a fraction is subnormal, not zero",
     {0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0},
     std::ldexp(1.0, -151)},
    {"exponent 255, no fraction: infinity", {0x80, 0x7f, 0, 0, 0, 0, 0, 0}, INFINITY},
    {"exponent 255, negative: minus infinity", {0x80, 0xff, 0, 0, 0, 0, 0, 0}, -INFINITY},
    {"exponent 255 with a fraction: NaN", {0xc0, 0x7f, 0, 0, 0, 0, 0, 0}, NAN},
};

TEST(WordSwappedReals, DecodeFromTheFirstFourBytes) {
    for (const RealCase &c : kRealCases) {
        SCOPED_TRACE(c.name);
        const double value = convert_8_to_double(c.bytes.data());
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(value));
        } else {
            EXPECT_EQ(value, c.expected);
            EXPECT_EQ(std::signbit(value), std::signbit(c.expected));
        }
    }
}

TEST(WordSwappedReals, WriterEncodingRoundTrips) {
    for (double value : {1.0, -2.5, 100.0, 0.15625, -1234.5, 3.0e-30, 6.0e30}) {
        SCOPED_TRACE(value);
        const auto field = writers::vax_real_bytes(value);
        const std::array<std::uint8_t, 8> d_float{field[0], field[1], field[2], field[3], 1, 2, 3, 4};
        EXPECT_EQ(convert_8_to_double(d_float.data()), static_cast<double>(static_cast<float>(value)));
    }
}

struct IntCase {
    std::array<std::uint8_t, 4> bytes;
    std::int32_t expected;
    const char *trace;
};

TEST(WordSwappedIntegers, DecodeAndTraceEachByte) {
    const IntCase cases[] = {
        {{0x12, 0x34, 0x56, 0x78}, 0x34127856, " 12 34 56 78"},
        {{0x00, 0x00, 0x01, 0x00}, 1, " 0 0 1 0"},
        {{0x01, 0x00, 0x00, 0x00}, 65536, " 1 0 0 0"},
        {{0xff, 0xff, 0x00, 0x00}, -65536, " ff ff 0 0"},
        {{0x0a, 0x00, 0xff, 0x10}, 0x000a10ff, " a 0 ff 10"},
        {{0xff, 0xff, 0xff, 0xff}, -1, " ff ff ff ff"},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.trace);
        std::int32_t value = 0;
        const std::array<std::uint8_t, 4> before = c.bytes;
        EXPECT_EQ(capture_stdout([&] { value = convert_4_to_int(c.bytes.data()); }), c.trace);
        EXPECT_EQ(value, c.expected);
        EXPECT_EQ(before, c.bytes);
    }
}

std::vector<std::uint8_t> header_file(const writers::TraHeaderValues &values) {
    writers::TraFile file;
    file.header = writers::tra_header(values);
    return writers::encode_tra(file);
}

TEST(TraHeader, FillsTheRecordAndLeavesGeometry6To8) {
    TempDir dir;
    const std::string path = dir.write("values.tra", header_file({100.0, -2.5, 0.75, 1.0, -0.5}));
    image_info info = patterned<image_info>();
    info.geometry[6] = 6.5;
    info.geometry[7] = -7.5;
    info.geometry[8] = 8.25;
    ASSERT_EQ(read_tra_header(path.c_str(), &info), 1);
    EXPECT_EQ(info.geometry[0], 100.0);
    EXPECT_EQ(info.geometry[1], 0.0);
    EXPECT_EQ(info.geometry[2], -2.5);
    EXPECT_EQ(info.geometry[3], 0.75);
    EXPECT_EQ(info.geometry[4], 1.0);
    EXPECT_EQ(info.geometry[5], -0.5);
    EXPECT_EQ(info.geometry[6], 6.5);
    EXPECT_EQ(info.geometry[7], -7.5);
    EXPECT_EQ(info.geometry[8], 8.25);
    EXPECT_EQ(info.overload_count, -1);
    EXPECT_EQ(info.setting, -1);
    EXPECT_EQ(info.overflow_threshold, -1);
    EXPECT_EQ(info.scale_value, -1.0);
    EXPECT_STREQ(info.path, path.c_str());
}

TEST(TraHeader, FFloatingFieldIsReadFromItsOwnFourBytes) {
    std::vector<std::uint8_t> bytes(204, 0);
    const std::uint8_t one[] = {0x80, 0x40, 0, 0};
    const std::uint8_t minus_two_and_half[] = {0x20, 0xc1, 0, 0};
    std::copy(std::begin(one), std::end(one), bytes.begin() + 186); // 186..193: D_floating, low half 0
    std::copy(std::begin(minus_two_and_half), std::end(minus_two_and_half), bytes.begin() + 194);
    TempDir dir;
    const std::string path = dir.write("exact204.tra", bytes); // exactly the bytes that are read
    image_info info{};
    ASSERT_EQ(read_tra_header(path.c_str(), &info), 1);
    EXPECT_EQ(info.geometry[3], 1.0);
    EXPECT_EQ(info.geometry[5], -2.5);
}

TEST(TraHeader, PathIsCopiedAsData) {
    TempDir dir;
    for (const char *name : {"a%s.tra", "%d%n%%.tra", "\xc3\xa9t\xc3\xa9 2024.tra"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.write(name, header_file({}));
        image_info info{};
        ASSERT_EQ(read_tra_header(path.c_str(), &info), 1);
        EXPECT_STREQ(info.path, path.c_str());
    }
}

// A path of `length` characters inside `dir`, made of directories of at most 200 characters.
std::string path_of_length(const TempDir &dir, std::size_t length) {
    std::string path = dir.path();
    while (path.size() + 201 < length) {
        path.append("/").append(199, 'd');
        std::filesystem::create_directory(path);
    }
    const std::size_t rest = length - path.size() - 1;
    path.append("/").append(rest, 'f');
    return path;
}

TEST(TraHeader, LongestPathThatFitsIsStored) {
    TempDir dir;
    const std::string path = path_of_length(dir, PLATEIO_PATH_CAPACITY - 1);
    ASSERT_EQ(path.size(), PLATEIO_PATH_CAPACITY - 1u);
    const auto bytes = header_file({1.0, 2.0, 3.0, 4.0, 5.0});
    ASSERT_TRUE(writers::write_file(path, bytes));
    image_info info{};
    ASSERT_EQ(read_tra_header(path.c_str(), &info), 1);
    EXPECT_EQ(std::string(info.path), path);
}

struct HeaderFailure {
    const char *name;
    std::string path;
};

TEST(TraHeader, FailuresPrintTheMessageAndLeaveTheRecord) {
    TempDir dir;
    const std::vector<HeaderFailure> failures = {
        {"missing file", dir.file("missing.tra")},
        {"203 bytes", dir.write("short.tra", std::vector<std::uint8_t>(203, 0))},
        {"empty file", dir.write("empty.tra", std::vector<std::uint8_t>{})},
        {"path longer than the record holds", path_of_length(dir, PLATEIO_PATH_CAPACITY)},
        {"a directory", dir.path()},
    };
    for (const HeaderFailure &f : failures) {
        SCOPED_TRACE(f.name);
        const image_info before = patterned<image_info>();
        image_info info = before;
        std::int32_t result = -1;
        const int descriptors = open_descriptor_count();
        EXPECT_EQ(capture_stdout([&] { result = read_tra_header(f.path.c_str(), &info); }),
                  "# \x1b[0mERROR\x1b[0m READING " + f.path + "\n");
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(same_bytes(info, before));
        EXPECT_EQ(open_descriptor_count(), descriptors);
    }
}

TEST(TraHeader, AThousandCallsLeaveNoDescriptor) {
    TempDir dir;
    const std::string good = dir.write("good.tra", header_file({1, 2, 3, 4, 5}));
    const std::string bad = dir.write("bad.tra", std::vector<std::uint8_t>(10, 0));
    image_info info{};
    const int descriptors = open_descriptor_count();
    capture_stdout([&] {
        for (int i = 0; i < 1000; ++i) {
            read_tra_header(good.c_str(), &info);
            read_tra_header(bad.c_str(), &info);
        }
    });
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

} // namespace
} // namespace plateio::test
