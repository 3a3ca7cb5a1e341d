// The synthetic exposures of the writers library: what the picture holds, and that the files made
// from it read back through the library as the pixels they were made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <stdexcept>

#include "plateio.h"
#include "support/temp_dir.hpp"
#include "synth.hpp"
#include "tra_writer.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

using writers::SynthSettings;

SynthSettings xarea_settings(std::int32_t width, std::int32_t height) {
    SynthSettings s;
    s.width = width;
    s.height = height;
    s.peak = 120000.0;
    s.background = 800.0;
    s.ceiling = 1048576;
    return s;
}

double box_mean(const std::vector<std::int32_t> &image, std::int32_t width, std::int32_t x0, std::int32_t y0,
                std::int32_t size) {
    double sum = 0.0;
    for (std::int32_t y = y0; y < y0 + size; ++y) {
        for (std::int32_t x = x0; x < x0 + size; ++x) {
            sum += image[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(x)];
        }
    }
    return sum / (size * size);
}

TEST(Synth, TheSameSettingsGiveTheSamePixelsAndAnotherSeedOtherNoise) {
    SynthSettings s = xarea_settings(300, 200);
    const auto first = writers::synth_exposure(s);
    EXPECT_EQ(first, writers::synth_exposure(s));
    s.seed = 2;
    const auto second = writers::synth_exposure(s);
    ASSERT_EQ(first.size(), second.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        differing += first[i] != second[i] ? 1 : 0;
    }
    EXPECT_GT(differing, first.size() * 9 / 10);
    const double mean1 = std::accumulate(first.begin(), first.end(), 0.0) / static_cast<double>(first.size());
    const double mean2 =
        std::accumulate(second.begin(), second.end(), 0.0) / static_cast<double>(second.size());
    EXPECT_NEAR(mean1 / mean2, 1.0, 0.05);
}

struct CeilingCase {
    const char *name;
    SynthSettings settings;
    std::size_t min_saturated;
    std::size_t max_saturated;
};

TEST(Synth, EveryPixelLiesBetweenZeroAndTheCeilingAndOnlyTheGrainsReachIt) {
    SynthSettings no_grains = xarea_settings(400, 300);
    no_grains.saturated_spots = 0;
    SynthSettings many_grains = xarea_settings(400, 300);
    many_grains.saturated_spots = 12;
    const CeilingCase cases[] = {
        {"TRA defaults", SynthSettings{}, 4, 120},
        {"X-Area 1000 x 800", xarea_settings(1000, 800), 4, 120},
        {"no grains", no_grains, 0, 0},
        {"twelve grains", many_grains, 12, 360},
    };
    for (const CeilingCase &c : cases) {
        SCOPED_TRACE(c.name);
        const auto image = writers::synth_exposure(c.settings);
        ASSERT_EQ(image.size(),
                  static_cast<std::size_t>(c.settings.width) * static_cast<std::size_t>(c.settings.height));
        EXPECT_GE(*std::min_element(image.begin(), image.end()), 0);
        EXPECT_LE(*std::max_element(image.begin(), image.end()), c.settings.ceiling);
        const auto saturated =
            static_cast<std::size_t>(std::count(image.begin(), image.end(), c.settings.ceiling));
        EXPECT_GE(saturated, c.min_saturated);
        EXPECT_LE(saturated, c.max_saturated);
    }
}

TEST(Synth, TheBeamStopAndItsArmShadowThePlate) {
    const auto image = writers::synth_exposure(SynthSettings{});
    const double centre = box_mean(image, 1200, 595, 595, 10);
    // Half-way out along the arm (it leaves the stop toward the left, 0.35 rad below the horizontal)
    // and the same radius on the other side.
    const double arm = box_mean(image, 1200, 600 - 282 - 2, 600 + 103 - 2, 4);
    const double open = box_mean(image, 1200, 600 + 282 - 2, 600 - 103 - 2, 4);
    const double fog = 0.02 * 300.0;
    EXPECT_LT(centre, 0.1 * open);
    EXPECT_LT(arm, 0.1 * open);
    EXPECT_GT(centre, 0.5 * fog);
}

TEST(Synth, TheFirstRingIsWhereTheLatticePutsItAndStandsWellAboveTheBackground) {
    const SynthSettings s = xarea_settings(1000, 1000);
    const auto image = writers::synth_exposure(s);
    // Mean over the upper half (clear of the arm) at each whole radius.
    std::vector<double> sum(500, 0.0);
    std::vector<double> count(500, 0.0);
    for (std::size_t y = 0; y < 500; ++y) {
        for (std::size_t x = 0; x < 1000; ++x) {
            const double r =
                std::hypot(static_cast<double>(x) + 0.5 - 500.0, static_cast<double>(y) + 0.5 - 500.0);
            const auto bin = static_cast<std::size_t>(r);
            if (bin < 500) {
                sum[bin] += image[y * 1000 + x];
                count[bin] += 1.0;
            }
        }
    }
    std::vector<double> profile(500);
    for (std::size_t i = 0; i < 500; ++i) {
        profile[i] = sum[i] / std::max(count[i], 1.0);
    }
    // a = 5.431, wavelength 0.7107, (111): 0.8 * tan(2 asin(0.5 * 0.7107 / 5.431 * sqrt 3)) = 0.1849 of 500.
    const auto strongest =
        static_cast<std::size_t>(std::max_element(profile.begin() + 40, profile.end()) - profile.begin());
    EXPECT_NEAR(static_cast<double>(strongest), 92.4, 2.0);
    const double between = *std::min_element(profile.begin() + 110, profile.begin() + 140);
    EXPECT_GT(profile[strongest], 20.0 * between);
}

TEST(Synth, CountsScatterLikePoissonCounts) {
    const auto image = writers::synth_exposure(xarea_settings(1000, 1000));
    // A corner lies outside the outermost ring; its mean barely changes over 30 pixels.
    double sum = 0.0;
    double squares = 0.0;
    double n = 0.0;
    for (std::size_t y = 10; y < 40; ++y) {
        for (std::size_t x = 10; x < 40; ++x) {
            const double v = image[y * 1000 + x];
            sum += v;
            squares += v * v;
            n += 1.0;
        }
    }
    const double mean = sum / n;
    const double variance = squares / n - mean * mean;
    EXPECT_NEAR(variance / mean, 1.0, 0.3);
}

TEST(Synth, ATraFileReadsBackAsTheImageInsideThePlate) {
    TempDir dir;
    writers::ExposureValues values;
    values.geometry = {80.0, 0.0, 0.5, 0.7107, 250.0, 1.5, 0.0, 0.0, 0.0};
    const auto image = writers::synth_exposure(SynthSettings{});
    const std::string path = dir.write("powder.tra", writers::synth_tra_file(image, values));

    std::int32_t *pixels = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    ASSERT_EQ(read_tra(path.c_str(), &pixels, &width, &height), 1);
    const std::unique_ptr<std::int32_t, decltype(&std::free)> owned(pixels, &std::free);
    ASSERT_EQ(width, 1200);
    ASSERT_EQ(height, 1200);
    std::size_t inside = 0;
    std::size_t overflowed = 0;
    const auto table = writers::circular_row_table(writers::kSynthPlateRadius);
    for (std::size_t i = 0; i < image.size(); ++i) {
        const auto half = static_cast<double>(table[std::min(i / 1200, 1199 - i / 1200)] >> 1);
        const double column = static_cast<double>(i % 1200);
        const bool in_span = column >= 600.0 - half && column < 600.0 + half;
        const std::int32_t expected = !in_span ? 0 : image[i] >= 65535 ? PIXEL_OVERFLOW : image[i];
        ASSERT_EQ(pixels[i], expected) << "pixel " << i;
        inside += in_span ? 1 : 0;
        overflowed += expected == PIXEL_OVERFLOW ? 1 : 0;
    }
    EXPECT_GT(inside, 1100000u); // pi * 595^2 = 1.11 million
    EXPECT_GT(overflowed, 0u);

    image_info info{};
    ASSERT_EQ(read_tra_header(path.c_str(), &info), 1);
    const double expected_geometry[6] = {80.0, 0.0, 0.5, 0.7107, 250.0, 1.5};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(info.geometry[i], static_cast<double>(static_cast<float>(expected_geometry[i]))) << i;
    }
}

TEST(Synth, AnXareaFileReadsBackPlainAndDifferenceCoded) {
    TempDir dir;
    const SynthSettings s = xarea_settings(640, 480);
    const auto image = writers::synth_exposure(s);
    writers::ExposureValues values;
    values.geometry = {80.0, 0.25, 0.5, 0.7107, 250.0, 1.5, 3.0, 1.0, 2.0};
    values.setting = 7;
    values.overflow_threshold = s.ceiling - 1;
    values.scale_value = 0.85;
    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "difference-coded" : "plain");
        const std::string path =
            dir.write("powder.xa", writers::synth_xarea_file(image, 640, 480, values, compressed));
        pixel_image read{};
        reduction_params params{};
        params.geometry2 = PLATEIO_UNSET;
        ASSERT_EQ(read_xi(path.c_str(), &read, &params), 1);
        const std::unique_ptr<std::int32_t, decltype(&std::free)> owned(read.pixels, &std::free);
        ASSERT_EQ(read.width, 640);
        ASSERT_EQ(read.height, 480);
        std::int32_t overflowed = 0;
        for (std::size_t i = 0; i < image.size(); ++i) {
            const bool over = image[i] > values.overflow_threshold;
            ASSERT_EQ(read.pixels[i], over ? PIXEL_OVERFLOW : image[i]) << "pixel " << i;
            overflowed += over ? 1 : 0;
        }
        EXPECT_GT(overflowed, 0);
        EXPECT_EQ(read.overflow_count, overflowed);

        image_info info{};
        ASSERT_EQ(read_xi_header(path.c_str(), &info), 1);
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(info.geometry[i], values.geometry[static_cast<std::size_t>(i)]) << i;
        }
        EXPECT_EQ(info.overload_count, overflowed);
        EXPECT_EQ(info.setting, 7);
        EXPECT_EQ(info.overflow_threshold, values.overflow_threshold);
        EXPECT_EQ(info.scale_value, 0.85);
    }
}

TEST(Synth, FileWritersRefuseAnImageOfTheWrongSize) {
    const std::vector<std::int32_t> small(100, 1);
    EXPECT_THROW(writers::synth_tra_file(small, {}), std::invalid_argument);
    EXPECT_THROW(writers::synth_xarea_file(small, 10, 11, {}, false), std::invalid_argument);
    SynthSettings empty;
    empty.width = 0;
    EXPECT_THROW(writers::synth_exposure(empty), std::invalid_argument);
}

// Both formats store every multi-byte value least significant byte first, and so does an xi_header
// record, which holds the file's bytes: the writers must produce those bytes on a host of either
// order. The expected bytes are written out here, not worked out on the host.
TEST(Writers, EveryMultiByteValueIsStoredLittleEndian) {
    using Bytes = std::vector<std::uint8_t>;
    const auto slice = [](const Bytes &bytes, std::size_t at, std::size_t count) {
        return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + count));
    };
    xi_header record = writers::make_xi_header(0x01020304, -2, 1);
    writers::set_field(record.scale_value, -2.5);
    const Bytes record_bytes = writers::record_bytes(record);
    writers::XiContainer container;
    container.entries.push_back({"E", {9}, 0x0a0b0c0d, 0x11223344});
    const Bytes xarea = writers::encode_xarea(container);
    // 0x0102 is a 16-bit step, then 0x01000000 a 32-bit one.
    const Bytes coded = writers::compress_pixels(std::vector<std::int32_t>{0x0102, 0x01000102}).bytes;
    writers::TraFile tra;
    tra.row_table[0] = 0x0102;
    tra.stream = {0xa1b2};
    const Bytes tra_bytes = writers::encode_tra(tra);
    const auto real = writers::vax_real_bytes(-2.5);

    struct Case {
        const char *name;
        Bytes actual;
        Bytes expected;
    };
    const Case cases[] = {
        {"record width", slice(record_bytes, 20, 4), {0x04, 0x03, 0x02, 0x01}},
        {"record height", slice(record_bytes, 24, 4), {0xfe, 0xff, 0xff, 0xff}},
        {"record compression", slice(record_bytes, 16, 4), {0x01, 0x00, 0x00, 0x00}},
        {"record scale_value", slice(record_bytes, 336, 8), {0, 0, 0, 0, 0, 0, 0x04, 0xc0}},
        {"container entry count", slice(xarea, 72, 4), {0x01, 0x00, 0x00, 0x00}},
        {"table entry length", slice(xarea, 104 + 24, 4), {0x0d, 0x0c, 0x0b, 0x0a}},
        {"table entry offset", slice(xarea, 104 + 36, 4), {0x44, 0x33, 0x22, 0x11}},
        {"plain pixel",
         writers::plain_block(std::vector<std::int32_t>{-0x01020304}),
         {0xfc, 0xfc, 0xfd, 0xfe}},
        {"coded block", coded, {254, 255, 0x02, 0x01, 0x00, 0x00, 0x00, 0x01}},
        {"TRA row table", slice(tra_bytes, 336, 2), {0x02, 0x01}},
        {"TRA stream", slice(tra_bytes, 1536, 2), {0xb2, 0xa1}},
        {"word-swapped VAX real", Bytes(real.begin(), real.end()), {0x20, 0xc1, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.actual, c.expected);
    }
    // And the record reads back as the values stored.
    EXPECT_EQ(writers::get_field(record.width), 0x01020304);
    EXPECT_EQ(writers::get_field(record.height), -2);
    EXPECT_EQ(writers::get_field(record.scale_value), -2.5);
}

} // namespace
} // namespace plateio::test
