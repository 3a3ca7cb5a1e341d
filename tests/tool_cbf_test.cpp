// The tool's CBF writer on its own: MD5 and base64 against their standards' test vectors, the
// byte-offset code against an independent decoder at every width's edges, and a whole file's
// structure. Whether real readers take the files is tool_output_test's business.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <string>

#include "cbf.hpp"
#include "md5.hpp"

namespace plateio::test {
namespace {

using cli::HeaderFields;

std::span<const std::uint8_t> bytes_of(const std::string &text) {
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        static constexpr char kDigits[] = "0123456789abcdef";
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

TEST(Base64, GivesTheStandardsTestVectors) {
    const std::pair<const char *, const char *> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto &[text, encoded] : cases) {
        EXPECT_EQ(cli::base64(bytes_of(text)), encoded) << text;
    }
    const std::uint8_t high[] = {0xfb, 0xff, 0xbf};
    EXPECT_EQ(cli::base64(high), "+/+/");
}

// An independent reading of the byte-offset code: the first escape width that is not its own
// escape value holds the difference, and the sum is taken modulo 2^32 as 32-bit pixels are.
std::vector<std::int32_t> decode(std::span<const std::uint8_t> code, std::size_t &used) {
    std::vector<std::int32_t> pixels;
    std::int64_t value = 0;
    std::size_t at = 0;
    const auto take = [&](int bytes) {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v |= std::uint64_t{code[at + static_cast<std::size_t>(i)]} << (8 * i);
        }
        at += static_cast<std::size_t>(bytes);
        const std::uint64_t sign = std::uint64_t{1} << (8 * bytes - 1);
        return bytes == 8 ? static_cast<std::int64_t>(v)
                          : static_cast<std::int64_t>(v ^ sign) - static_cast<std::int64_t>(sign);
    };
    while (at < code.size()) {
        std::int64_t d = take(1);
        if (d == -128) {
            d = take(2);
            if (d == -32768) {
                d = take(4);
                if (d == INT32_MIN) {
                    d = take(8);
                }
            }
        }
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value + d)));
        pixels.push_back(static_cast<std::int32_t>(value));
    }
    used = at;
    return pixels;
}

std::vector<std::uint8_t> encode(std::span<const std::int32_t> pixels, std::int32_t previous = 0) {
    std::vector<std::uint8_t> out(pixels.size() * cli::kByteOffsetWorst);
    out.resize(cli::byte_offset_encode(pixels, previous, out.data()));
    return out;
}

TEST(ByteOffset, EachDifferenceTakesTheNarrowestWidthThatHoldsIt) {
    struct Case {
        const char *name;
        std::vector<std::int32_t> pixels;
        std::vector<std::uint8_t> code;
    };
    const Case cases[] = {
        {"one byte up to 127", {127, 0, -127}, {0x7f, 0x81, 0x81}},
        {"128 needs 16 bits", {128}, {0x80, 0x80, 0x00}},
        {"-128 needs 16 bits", {-128}, {0x80, 0x80, 0xff}},
        {"32767 in 16 bits", {32767}, {0x80, 0xff, 0x7f}},
        {"-32767 in 16 bits", {-32767}, {0x80, 0x01, 0x80}},
        {"-32768 needs 32 bits", {-32768}, {0x80, 0x00, 0x80, 0x00, 0x80, 0xff, 0xff}},
        {"32768 needs 32 bits", {32768}, {0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x00}},
        {"the largest int32", {INT32_MAX}, {0x80, 0x00, 0x80, 0xff, 0xff, 0xff, 0x7f}},
        {"-2^31 needs 64 bits",
         {INT32_MIN},
         {0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0xff, 0xff, 0xff, 0xff}},
        {"2^32 - 1 wraps to -1",
         {INT32_MIN, INT32_MAX},
         {0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0xff, 0xff, 0xff, 0xff, 0xff}},
        {"-(2^31 + 1) wraps to 2^31 - 1",
         {INT32_MAX, -2},
         {0x80, 0x00, 0x80, 0xff, 0xff, 0xff, 0x7f, 0x80, 0x00, 0x80, 0xff, 0xff, 0xff, 0x7f}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hex(encode(c.pixels)), hex(c.code));
        EXPECT_EQ(cli::byte_offset_size(c.pixels), c.code.size());
    }
}

TEST(ByteOffset, RunsOfSmallDifferencesAndTheWideOnesBetweenThemDecodeToThePixels) {
    // Blocks of small differences taken whole, broken at every position by a wide one, and pixels
    // near +-2^30 and the int32 ends, where differences must not be taken in 32 bits.
    std::vector<std::int32_t> pixels;
    std::uint32_t state = 12345;
    const auto next = [&state] { return state = state * 1664525u + 1013904223u; };
    for (int run = 0; run < 400; ++run) {
        const std::int32_t base = run % 5 == 0   ? 0x3fffff00
                                  : run % 5 == 1 ? -0x40000000
                                  : run % 5 == 2 ? INT32_MAX - 100
                                                 : 1000 * (run % 7);
        for (std::uint32_t k = 0; k < 1 + next() % 40; ++k) {
            pixels.push_back(base + static_cast<std::int32_t>(next() % 100));
        }
        pixels.push_back(static_cast<std::int32_t>(next()));
    }
    const std::vector<std::uint8_t> code = encode(pixels);
    std::size_t used = 0;
    EXPECT_EQ(decode(code, used), pixels);
    EXPECT_EQ(used, code.size());
    EXPECT_EQ(cli::byte_offset_size(pixels), code.size());
    // A slice continues from the pixel before it.
    const std::size_t half = pixels.size() / 2;
    std::vector<std::uint8_t> joined = encode(std::span(pixels).first(half));
    const std::vector<std::uint8_t> rest = encode(std::span(pixels).subspan(half), pixels[half - 1]);
    joined.insert(joined.end(), rest.begin(), rest.end());
    EXPECT_EQ(joined, code);
}

class MemorySink : public cli::CbfSink {
  public:
    void write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        if (bytes_.size() < offset + bytes.size()) {
            bytes_.resize(offset + bytes.size());
        }
        std::memcpy(bytes_.data() + offset, bytes.data(), bytes.size());
    }
    std::string text() const { return {bytes_.begin(), bytes_.end()}; }

  private:
    std::vector<std::uint8_t> bytes_;
};

std::string field_after(const std::string &text, const std::string &key) {
    const std::size_t at = text.find("\r\n" + key);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t from = at + 2 + key.size();
    return text.substr(from, text.find("\r\n", from) - from);
}

TEST(CbfFile, TheMimeHeaderDescribesTheCodeThatFollowsItAcrossSlices) {
    // Wider than a slice (65536 pixels), with wide differences around the slices' seams.
    const std::int32_t width = 300;
    const std::int32_t height = 250;
    std::vector<std::int32_t> pixels(static_cast<std::size_t>(width * height));
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::int32_t>((i * 7919) % 300) + (i % 65536 < 3 ? 1000000 : 0);
    }
    const HeaderFields fields = {{"source", std::string("a\x80\\--CIF-BINARY-FORMAT-SECTION--.tra")},
                                 {"width", std::int64_t{width}},
                                 {"geometry_3", 0.7107},
                                 {"geometry_4", 250.0},
                                 {"broken", std::string("line\r\nbreak")}};
    MemorySink sink;
    const std::uint64_t length = cli::write_cbf(sink, pixels, width, height, fields, "my image!");
    const std::string text = sink.text();
    ASSERT_EQ(text.size(), length);
    EXPECT_EQ(text.rfind("###CBF: VERSION 1.5", 0), 0u);
    EXPECT_NE(text.find("\r\ndata_my_image_\r\n"), std::string::npos);
    // Names escaped, and never a boundary of the binary section in the text.
    EXPECT_NE(text.find("\r\n# source a\\x80\\\\-\\x2dCIF-BINARY-FORMAT-SECTION-\\x2d.tra\r\n# width 300\r\n"
                        "# geometry_3 0.7107\r\n# geometry_4 250.0\r\n# broken line\\x0d\\x0abreak\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("--CIF-BINARY-FORMAT-SECTION--"),
              text.find("\r\n--CIF-BINARY-FORMAT-SECTION--\r\n") + 2);
    EXPECT_EQ(field_after(text, "X-Binary-Number-of-Elements: "), "75000");
    EXPECT_EQ(field_after(text, "X-Binary-Size-Fastest-Dimension: "), "300");
    EXPECT_EQ(field_after(text, "X-Binary-Size-Second-Dimension: "), "250");
    EXPECT_EQ(field_after(text, "X-Binary-Element-Type: "), "\"signed 32-bit integer\"");

    const std::size_t start = text.find("\x0c\x1a\x04\xd5");
    ASSERT_NE(start, std::string::npos);
    const std::size_t size = std::stoul(field_after(text, "X-Binary-Size: "));
    const std::span<const std::uint8_t> code = bytes_of(text).subspan(start + 4, size);
    std::size_t used = 0;
    EXPECT_EQ(decode(code, used), pixels);
    cli::Md5 md5;
    md5.update(code);
    EXPECT_EQ(field_after(text, "Content-MD5: "), cli::base64(md5.finish()));
    const std::size_t padding = std::stoul(field_after(text, "X-Binary-Size-Padding: "));
    EXPECT_EQ(text.substr(start + 4 + size + padding), "\r\n--CIF-BINARY-FORMAT-SECTION----\r\n;\r\n\r\n");
}

} // namespace
} // namespace plateio::test
