// What the plateio tool writes, read back by other means: TIFF with libtiff, .npy by its format's
// rules, PNG with libpng, corrected points against the library's own transforms.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "plateio.h"
#include "support/image_files.hpp"
#include "support/tool_files.hpp"
#include "xarea_writer.hpp"

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

// The mask every format carries with --mask: 1 off the plate, 8 overflowed, 0 measured.
std::vector<std::int32_t> expected_mask(const Source &s) {
    const LoadedImage image = library_pixels(s.path, s.xarea);
    const std::vector<std::uint8_t> off_plate = library_mask(s.path);
    std::vector<std::int32_t> mask(image.pixels.size());
    for (std::size_t i = 0; i < mask.size(); ++i) {
        mask[i] = off_plate[i] != 0 ? 1 : image.pixels[i] == PIXEL_OVERFLOW ? 8 : 0;
    }
    return mask;
}

// What a format's own reader makes of an image and its mask: the pixels, and what it says of the
// file ("key value" lines). Other readers than the tool's tests: libtiff, the .npy rules, fabio and
// CBFlib, h5py and silx.
struct Reading {
    bool skipped = false;
    std::vector<std::int32_t> pixels;
    std::string says;
};

Reading read_back(const std::string &format, const std::string &path, const std::string &scratch) {
    Reading reading;
    if (format == "tiff") {
        const TiffImage tiff = read_tiff(path);
        reading.pixels = tiff.pixels;
        reading.says = "bits " + std::to_string(tiff.bits_per_sample) + "\nsample_format " +
                       std::to_string(tiff.sample_format) + "\ndescription " + tiff.description + "\n";
        return reading;
    }
    if (format == "npy") {
        const NpyArray array = read_npy(path);
        reading.pixels = array.values;
        reading.says = "descr " + array.descr + "\nshape " + std::to_string(array.shape.at(0)) + " " +
                       std::to_string(array.shape.at(1)) + "\n";
        return reading;
    }
    const OutsideReading outside = read_outside(format, path, scratch);
    reading.skipped = outside.skipped;
    EXPECT_EQ(outside.status == 0 || outside.skipped, true) << outside.out;
    reading.pixels = outside.pixels;
    reading.says = outside.out;
    return reading;
}

TEST(ToolConvert, EveryFormatsOwnReaderGetsExactlyTheLibrarysPixelsAndTheMask) {
    struct Format {
        const char *to;     // --to
        const char *reader; // read_back's format
        const char *extension;
        std::vector<std::string> image_says; // lines its reader prints of the image
        std::vector<std::string> mask_says;  // and of the mask
    };
    const Format formats[] = {
        {"tiff", "tiff", ".tif", {"bits 32", "sample_format 2"}, {"bits 8", "sample_format 1"}},
        {"npy", "npy", ".npy", {"descr <i4"}, {"descr |u1"}},
        {"cbf",
         "fabio",
         ".cbf",
         {"dtype int32", "conversions x-CBF_BYTE_OFFSET", "header overflow_value 256001"},
         {"dtype int32", "header overflow_value 256001"}},
        // CBFlib checks the binary section's MD5 as it reads (compression 112: byte offset).
        {"cbf", "pycbf", ".cbf", {"compression 112 element_size 4 signed 1"}, {}},
#ifdef PLATEIO_TOOL_HAS_HDF5
        {"h5",
         "h5py",
         ".h5",
         {"root NXroot entry", "entry NXentry data", "data_group NXdata data", "detector NXdetector",
          "dtype <i4", "compression gzip", "silx_nxdata True", "header overflow_value 256001"},
         {"dtype <u4", "silx_nxdata True"}},
#endif
    };
    TempDir dir;
    for (const Source &s : sources()) {
        const LoadedImage expected = library_pixels(s.path, s.xarea);
        const std::vector<std::int32_t> mask = expected_mask(s);
        for (const Format &f : formats) {
            SCOPED_TRACE(std::string(s.name) + " as " + f.reader);
            const std::string out = dir.file(std::string("out") + f.extension);
            const RunResult r = plateio({"convert", "--mask", s.path, "--to", f.to, "-o", out});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out + r.err, "");
            const Reading image = read_back(f.reader, out, dir.path());
            if (image.skipped) {
                std::printf("skipped: %s is not installed\n", f.reader);
                continue;
            }
            EXPECT_EQ(image.pixels, expected.pixels);
            // NXmx keeps a stack of frames: one exposure is one frame.
            const std::string frames = std::string(f.reader) == "h5py" ? "1 " : "";
            EXPECT_TRUE(has_line(image.says, "shape " + frames + std::to_string(expected.height) + " " +
                                                 std::to_string(expected.width)) ||
                        std::string(f.reader) == "tiff" || std::string(f.reader) == "pycbf")
                << image.says;
            for (const std::string &line : f.image_says) {
                EXPECT_TRUE(has_line(image.says, line)) << line << " in\n" << image.says;
            }
            if (std::string(f.reader) == "h5py") {
                // The NeXus file holds the mask itself, as the detector's pixel_mask.
                EXPECT_EQ(read_outside("h5py", out, dir.path()).extra, mask);
            }
            const Reading mask_image =
                read_back(f.reader, dir.file(std::string("out.mask") + f.extension), dir.path());
            EXPECT_EQ(mask_image.pixels, mask);
            for (const std::string &line : f.mask_says) {
                EXPECT_TRUE(has_line(mask_image.says, line)) << line << " in\n" << mask_image.says;
            }
        }
    }
}

TEST(ToolConvert, HeaderValuesTravelInTiffCbfAndHdf5AndBesideNpyWhenAsked) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    struct Case {
        const char *name;
        std::string source;
        std::vector<std::string> fields; // "name value" as CBF's mini-header and HDF5's datasets give them
        std::string json;                // a part of the JSON object of TIFF and the sidecar
    };
    const Case cases[] = {
        {"TRA",
         files.tra,
         {"format tra", "width 1200", "geometry_0 80.0", "geometry_4 250.0", "saturation_value 65535",
          "source powder.tra"},
         "{\"header\": {\"format\": \"tra\", \"source\": \"powder.tra\", \"width\": 1200, \"height\": 1200, "
         "\"compressed\": 0, \"saturation_value\": 65535, \"overflow_value\": 256001, \"overflow_count\": "},
        {"difference-coded X-Area",
         files.xarea_coded,
         {"format xarea", "compressed 1", "setting 7", "overflow_threshold 500000", "saturation_value 500001",
          "off_plate_count 0"},
         "\"compressed\": 1, \"overflow_threshold\": 500000, \"saturation_value\": 500001, "
         "\"overflow_value\": 256001"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(plateio({"convert", c.source, "--header", "-o", dir.file("h.npy")}).status, 0);
        const std::vector<std::uint8_t> sidecar = read_bytes(dir.file("h.json"));
        EXPECT_NE(std::string(sidecar.begin(), sidecar.end()).find(c.json), std::string::npos);
        ASSERT_EQ(plateio({"convert", c.source, "-o", dir.file("h.tif")}).status, 0);
        EXPECT_NE(read_tiff(dir.file("h.tif")).description.find(c.json), std::string::npos);
        std::vector<const char *> readers = {"fabio"};
#ifdef PLATEIO_TOOL_HAS_HDF5
        readers.push_back("h5py");
#endif
        for (const char *reader : readers) {
            const std::string out = dir.file(std::string("h.") + (reader[0] == 'f' ? "cbf" : "h5"));
            ASSERT_EQ(plateio({"convert", c.source, "-o", out}).status, 0);
            const OutsideReading reading = read_outside(reader, out, dir.path());
            if (reading.skipped) {
                continue;
            }
            for (const std::string &field : c.fields) {
                EXPECT_TRUE(has_line(reading.out, "header " + field)) << reader << ": " << field << " in\n"
                                                                      << reading.out;
            }
        }
    }
}

TEST(ToolConvert, CbfKeepsEveryInt32DifferenceThatReadersMustUndo) {
    // Pixels at the ends of the int32 range, whose differences are wrapped into 32 bits; a difference
    // of exactly 2^31 needs the code's 64-bit escape, which CBFlib reads and fabio's 32-bit reader
    // (0.14) does not.
    struct Case {
        const char *name;
        std::vector<std::int32_t> pixels;
        std::vector<const char *> readers;
    };
    const Case cases[] = {
        {"wrapped differences",
         {INT32_MIN + 1, 2147483646, 0, -2147483647, 7, INT32_MIN + 1, 255000, -5},
         {"fabio", "pycbf"}},
        {"a difference of 2^31", {0, INT32_MIN, 0, INT32_MIN + 5, 3}, {"pycbf"}},
    };
    TempDir dir;
    for (const Case &c : cases) {
        std::vector<std::int32_t> pixels = c.pixels;
        pixels.resize(32 * 16, 3);
        xi_header header = writers::make_xi_header(32, 16, 0);
        header.overflow_threshold = INT32_MAX - 1;
        const std::string source = dir.write("extreme.xa", writers::xarea_file(header, pixels, false));
        ASSERT_EQ(plateio({"convert", source, "-o", dir.file("extreme.cbf")}).status, 0);
        for (const char *reader : c.readers) {
            SCOPED_TRACE(std::string(c.name) + ", " + reader);
            const OutsideReading reading = read_outside(reader, dir.file("extreme.cbf"), dir.path());
            if (!reading.skipped) {
                EXPECT_EQ(reading.pixels, library_pixels(source, true).pixels) << reading.out;
            }
        }
    }
}

TEST(ToolConvert, ManyFilesGoIntoAFolderAndTheThreadCountDoesNotChangeABit) {
    TempDir dir;
    const std::vector<Source> all = sources();
    for (const char *to : {"tiff", "npy"}) {
        SCOPED_TRACE(to);
        const std::string one = dir.file(std::string("one-") + to) + "/";
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
            const auto a = read_bytes(one + name + extension);
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
        plateio({"convert", "-j", "2", "-o", dir.file("out/"), files.tra, missing, files.xarea}, terminal);
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

bool is_off_plate_blue(const PngImage &png, std::size_t i) {
    return png.rgb[3 * i] == 24 && png.rgb[3 * i + 1] == 40 && png.rgb[3 * i + 2] == 96;
}

TEST(ToolPreview, FullSizePngIsRedWhereTheLibraryMarksOverflowBlueOffThePlateAndGreyElsewhere) {
    TempDir dir;
    for (const Source &s : sources()) {
        SCOPED_TRACE(s.name);
        const std::string out = dir.file("preview.png");
        const RunResult r = plateio({"preview", "--size", "0", s.path, "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const PngImage png = read_png(out);
        const LoadedImage image = library_pixels(s.path, s.xarea);
        ASSERT_EQ(png.width, static_cast<std::uint32_t>(image.width));
        ASSERT_EQ(png.height, static_cast<std::uint32_t>(image.height));
        const std::vector<std::uint8_t> mask = library_mask(s.path);
        std::size_t red = 0;
        std::size_t blue = 0;
        std::int32_t brightest = 0;
        std::size_t brightest_at = 0;
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            const bool overflowed = image.pixels[i] == PIXEL_OVERFLOW;
            ASSERT_EQ(is_red(png, i), overflowed) << "pixel " << i;
            ASSERT_EQ(is_off_plate_blue(png, i), mask[i] == 1) << "pixel " << i;
            red += overflowed ? 1 : 0;
            blue += mask[i];
            if (!overflowed && mask[i] == 0) {
                ASSERT_EQ(png.rgb[3 * i], png.rgb[3 * i + 1]) << "pixel " << i;
                ASSERT_EQ(png.rgb[3 * i], png.rgb[3 * i + 2]) << "pixel " << i;
                if (image.pixels[i] > brightest) {
                    brightest = image.pixels[i];
                    brightest_at = i;
                }
            }
        }
        EXPECT_GT(red, 0u);
        EXPECT_EQ(blue > 0, !s.xarea);
        EXPECT_EQ(png.rgb[3 * brightest_at], 255) << "the brightest pixel is white";
        // The scale starts at the plate's 1st percentile, not at the empty corners' 0: the shadow
        // of the beam stop, the faintest part of the plate, is black.
        const std::size_t centre =
            static_cast<std::size_t>(image.height / 2) * static_cast<std::size_t>(image.width) +
            static_cast<std::size_t>(image.width / 2);
        EXPECT_LT(png.rgb[3 * centre], 24) << "the beam stop's shadow is black";
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
        {"1024 unless told otherwise", 0, nullptr, 1024, 1024},
    };
    const std::vector<Source> all = sources();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Source &s = all[c.source];
        const std::string out = dir.file("small.png");
        const RunResult r = c.size != nullptr ? plateio({"preview", "--size", c.size, "-o", out, s.path})
                                              : plateio({"preview", "-o", out, s.path});
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
