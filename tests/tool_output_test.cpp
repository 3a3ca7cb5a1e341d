// What the plateio tool writes, read back by other means: TIFF with libtiff, .npy by its format's
// rules, PNG with libpng, corrected points against the library's own transforms.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "plateio.h"
#include "support/image_files.hpp"
#include "support/tool_files.hpp"

namespace plateio::test {
namespace {

struct Source {
    const char *name;
    std::string path;
    bool xarea;
};

std::vector<Source> sources() {
    const ToolFiles &files = tool_files();
    return {{"TRA", files.tra, false},
            {"plain X-Area", files.xarea, true},
            {"coded X-Area", files.xarea_coded, true}};
}

TEST(ToolConvert, TiffHoldsTheLibrarysPixelsAsSigned32BitSamples) {
    TempDir dir;
    for (const Source &s : sources()) {
        SCOPED_TRACE(s.name);
        const std::string out = dir.file("out.tiff");
        const RunResult r = plateio({"convert", s.path, "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        const TiffImage tiff = read_tiff(out);
        const LoadedImage expected = library_pixels(s.path, s.xarea);
        EXPECT_EQ(tiff.width, static_cast<std::uint32_t>(expected.width));
        EXPECT_EQ(tiff.height, static_cast<std::uint32_t>(expected.height));
        EXPECT_EQ(tiff.bits_per_sample, 32);
        EXPECT_EQ(tiff.sample_format, 2); // signed integer
        EXPECT_EQ(tiff.samples_per_pixel, 1);
        EXPECT_EQ(tiff.photometric, 1); // min-is-black
        EXPECT_EQ(tiff.directories, 1);
        EXPECT_EQ(tiff.pixels, expected.pixels);
    }
}

TEST(ToolConvert, NpyIsAnInt32ArrayOfShapeHeightWidthHoldingTheLibrarysPixels) {
    TempDir dir;
    for (const Source &s : sources()) {
        SCOPED_TRACE(s.name);
        const std::string out = dir.file("out.dat");
        const RunResult r = plateio({"convert", "--to", "npy", "-o", out, s.path});
        ASSERT_EQ(r.status, 0) << r.err;
        const NpyArray array = read_npy(out);
        const LoadedImage expected = library_pixels(s.path, s.xarea);
        EXPECT_EQ(array.descr, "<i4");
        EXPECT_FALSE(array.fortran_order);
        EXPECT_EQ(array.shape, (std::vector<std::size_t>{static_cast<std::size_t>(expected.height),
                                                         static_cast<std::size_t>(expected.width)}));
        EXPECT_EQ(array.data_offset % 64, 0u);
        EXPECT_EQ(array.values, expected.pixels);
    }
}

TEST(ToolConvert, ManyFilesGoIntoAFolderAndTheThreadCountDoesNotChangeABit) {
    TempDir dir;
    const std::vector<Source> all = sources();
    for (const char *to : {"tiff", "npy"}) {
        SCOPED_TRACE(to);
        const std::string one = dir.file(std::string("one-") + to);
        const std::string two = dir.file(std::string("two-") + to) + "/";
        auto with = [&](const std::string &out, const char *threads) {
            std::vector<std::string> a = {"convert", "--to", to, "-j", threads, "-o", out};
            for (const Source &s : all) {
                a.push_back(s.path);
            }
            return plateio(a);
        };
        const RunResult serial = with(one, "1");
        const RunResult parallel = with(two, "2");
        ASSERT_EQ(serial.status, 0) << serial.err;
        ASSERT_EQ(parallel.status, 0) << parallel.err;
        EXPECT_EQ(serial.err, "") << "no progress bar when standard error is not a terminal";
        const std::string extension = std::string(".") + (to[0] == 't' ? "tif" : "npy");
        for (const char *name : {"powder", "plain", "coded"}) {
            SCOPED_TRACE(name);
            const auto a = read_bytes(one + "/" + name + extension);
            EXPECT_GT(a.size(), 200u * 320u * 4u);
            EXPECT_EQ(a, read_bytes(two + name + extension));
        }
    }
}

TEST(ToolConvert, OneUnreadableFileAmongManyFailsAloneAndTheProgressBarDrawsOnATerminal) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    const std::string missing = dir.file("missing.tra");
    RunOptions terminal;
    terminal.terminal_err = true;
    const RunResult r =
        plateio({"convert", "-j", "2", "-o", dir.file("out"), files.tra, missing, files.xarea}, terminal);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("plateio: " + missing + ": No such file or directory"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("] 3/3"), std::string::npos) << r.err;
    EXPECT_EQ(read_tiff(dir.file("out/powder.tif")).pixels, library_pixels(files.tra, false).pixels);
    EXPECT_EQ(read_tiff(dir.file("out/plain.tif")).pixels, library_pixels(files.xarea, true).pixels);

    const RunResult single = plateio({"convert", "-o", dir.file("single.npy"), files.tra}, terminal);
    EXPECT_EQ(single.status, 0);
    EXPECT_EQ(single.err, "") << "no bar for a single file";
}

bool is_red(const PngImage &png, std::size_t i) {
    return png.rgb[3 * i] == 255 && png.rgb[3 * i + 1] == 0 && png.rgb[3 * i + 2] == 0;
}

TEST(ToolPreview, FullSizePngIsRedExactlyWhereTheLibraryMarksOverflowAndGreyElsewhere) {
    TempDir dir;
    for (const Source &s : sources()) {
        SCOPED_TRACE(s.name);
        const std::string out = dir.file("preview.png");
        const RunResult r = plateio({"preview", s.path, "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const PngImage png = read_png(out);
        const LoadedImage image = library_pixels(s.path, s.xarea);
        ASSERT_EQ(png.width, static_cast<std::uint32_t>(image.width));
        ASSERT_EQ(png.height, static_cast<std::uint32_t>(image.height));
        std::size_t red = 0;
        std::int32_t brightest = 0;
        std::size_t brightest_at = 0;
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            const bool overflowed = image.pixels[i] == PIXEL_OVERFLOW;
            ASSERT_EQ(is_red(png, i), overflowed) << "pixel " << i;
            red += overflowed ? 1 : 0;
            if (!overflowed) {
                ASSERT_EQ(png.rgb[3 * i], png.rgb[3 * i + 1]) << "pixel " << i;
                ASSERT_EQ(png.rgb[3 * i], png.rgb[3 * i + 2]) << "pixel " << i;
                if (image.pixels[i] > brightest) {
                    brightest = image.pixels[i];
                    brightest_at = i;
                }
            }
        }
        EXPECT_GT(red, 0u);
        EXPECT_EQ(png.rgb[3 * brightest_at], 255) << "the brightest pixel is white";
        const std::size_t centre =
            static_cast<std::size_t>(image.height / 2) * static_cast<std::size_t>(image.width) +
            static_cast<std::size_t>(image.width / 2);
        EXPECT_LT(png.rgb[3 * centre], 128) << "the beam stop's shadow is dark";
    }
}

TEST(ToolPreview, SizeShrinksTheLongerSideAndKeepsEveryOverflowVisible) {
    TempDir dir;
    struct Case {
        const char *name;
        std::size_t source;
        const char *size;
        std::uint32_t width;
        std::uint32_t height;
    };
    const Case cases[] = {
        {"TRA to 256", 0, "256", 256, 256},
        {"640 x 480 to 320", 1, "320", 320, 240},
        {"320 x 200 to 100", 2, "100", 100, 62},
        {"never enlarged", 2, "1000", 320, 200},
    };
    const std::vector<Source> all = sources();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Source &s = all[c.source];
        const std::string out = dir.file("small.png");
        const RunResult r = plateio({"preview", "--size", c.size, "-o", out, s.path});
        ASSERT_EQ(r.status, 0) << r.err;
        const PngImage png = read_png(out);
        ASSERT_EQ(png.width, c.width);
        ASSERT_EQ(png.height, c.height);
        const LoadedImage image = library_pixels(s.path, s.xarea);
        // Every overflowed source pixel turns the preview pixel that covers it red.
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            if (image.pixels[i] == PIXEL_OVERFLOW) {
                const std::size_t y = i / static_cast<std::size_t>(image.width);
                const std::size_t x = i % static_cast<std::size_t>(image.width);
                std::size_t py = 0;
                while ((py + 1) * static_cast<std::size_t>(image.height) / c.height <= y) {
                    ++py;
                }
                std::size_t px = 0;
                while ((px + 1) * static_cast<std::size_t>(image.width) / c.width <= x) {
                    ++px;
                }
                EXPECT_TRUE(is_red(png, py * c.width + px)) << "source pixel " << i;
            }
        }
    }
}

std::vector<double> numbers(const std::string &text) {
    std::vector<double> values;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        values.push_back(std::stod(word));
    }
    return values;
}

TEST(ToolCorrect, PointsComeOutExactlyAsTheLibraryTransformsThem) {
    struct Case {
        const char *name;
        std::vector<std::string> options;
        geometry_params params;
        double distance;
    };
    // geometry_params: radial, tangential, offset x, offset y, distance offset, tilt y, tilt x, rotation.
    const Case cases[] = {
        {"nothing", {"--distance", "200"}, {0, 0, 0, 0, 0, 0, 0, 0}, 200},
        {"rotation", {"--distance", "200", "--rotation", "30"}, {0, 0, 0, 0, 0, 0, 0, 30}, 200},
        {"radial and twist",
         {"--distance", "200", "--radial-shift", "0.3", "--tangential-shift=0.5"},
         {0.3, 0.5, 0, 0, 0, 0, 0, 0},
         200},
        {"offsets and tilts",
         {"--distance", "150", "--offset-x", "1", "--offset-y", "-2", "--tilt-x", "10", "--tilt-y", "-4.5"},
         {0, 0, 1, -2, 0, -4.5, 10, 0},
         150},
        {"everything",
         {"--distance", "200", "--rotation", "-12", "--radial-shift", "0.3", "--tangential-shift", "0.5",
          "--offset-x", "0.2", "--offset-y", "0.1", "--distance-offset", "2", "--tilt-x", "3", "--tilt-y",
          "1"},
         {0.3, 0.5, 0.2, 0.1, 2, 1, 3, -12},
         200},
    };
    const std::vector<std::pair<double, double>> points = {
        {3, 4}, {-2.5, 0}, {0, 4}, {0.001, -7.25}, {120, -80}};
    for (const Case &c : cases) {
        for (const bool inverse : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (inverse ? " inverse" : ""));
            std::vector<std::string> args = {"correct"};
            if (inverse) {
                args.push_back("--inverse");
            }
            args.insert(args.end(), c.options.begin(), c.options.end());
            std::string input = "# x y\n\n";
            std::vector<double> expected;
            for (const auto &[x, y] : points) {
                std::ostringstream ox;
                ox.precision(17);
                ox << x << " " << y;
                input += ox.str() + "\n";
                args.push_back(std::to_string(x));
                args.push_back(std::to_string(y));
                double point[2] = {x, y};
                (inverse ? anti_correct : correct_cry)(point, &c.params, c.distance);
                expected.push_back(point[0]);
                expected.push_back(point[1]);
            }
            const RunResult from_args = plateio(args);
            ASSERT_EQ(from_args.status, 0) << from_args.err;
            EXPECT_EQ(numbers(from_args.out), expected);
            args.resize(args.size() - 2 * points.size());
            RunOptions stdin_points;
            stdin_points.input = input;
            const RunResult from_input = plateio(args, stdin_points);
            ASSERT_EQ(from_input.status, 0) << from_input.err;
            EXPECT_EQ(from_input.out, from_args.out);
        }
    }
}

TEST(ToolCorrect, ALineThatIsNotAPointStopsWithItsNumber) {
    RunOptions input;
    input.input = "3 4\n1 2 3\n5 6\n";
    const RunResult r = plateio({"correct", "--distance", "200"}, input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "3 4\n");
    EXPECT_EQ(r.err, "plateio: standard input, line 2: not a point \"X Y\": '1 2 3'\n");
}

} // namespace
} // namespace plateio::test
