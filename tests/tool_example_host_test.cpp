// The example host of examples/: it loads the library with dlopen by name, and the library calls
// the sind, cosd and binning the host supplies. Run as make demo runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "plateio.h"
#include "support/subprocess.hpp"
#include "support/temp_dir.hpp"
#include "support/tool_files.hpp"
#include "synth.hpp"

namespace plateio::test {
namespace {

RunResult example_host(const std::vector<std::string> &files) {
    RunOptions options;
    // The host finds the library by its run path; a sanitizer's dlopen interceptor hides that, so
    // the directory is also named the ordinary way.
    options.environment = {{"LD_LIBRARY_PATH", PLATEIO_LIBRARY_DIR}};
    return run_program(PLATEIO_EXAMPLE_HOST, files, options);
}

std::string line_with(const std::string &text, const std::string &start) {
    const std::size_t at = text.find(start);
    if (at == std::string::npos) {
        return "";
    }
    return text.substr(at, text.find('\n', at) - at);
}

TEST(ExampleHost, ReadsBothFormatsBinsThroughItsOwnRoutineAndCorrectsWithItsOwnSines) {
    TempDir dir;
    std::vector<std::int32_t> image = writers::synth_exposure({});
    // Two saturated pixels on grid rows 600 and 601, which binning folds into the profile's row.
    image[600 * 1200 + 700] = 65535;
    image[601 * 1200 + 903] = 65535;
    const std::string tra = dir.write("host.tra", writers::synth_tra_file(image, {}));
    const std::string xarea = tool_files().xarea_coded;

    const RunResult r = example_host({tra, xarea});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(line_with(r.out, "host routines in use: "),
              "host routines in use: 7 (1 sind + 2 cosd + 4 binning)");

    // read_tra: the saturated pixels as the library marks them.
    const LoadedImage grid = library_pixels(tra, false);
    const auto tra_overflowed = std::count(grid.pixels.begin(), grid.pixels.end(), PIXEL_OVERFLOW);
    EXPECT_NE(line_with(r.out, "  image              1200 x 1200")
                  .find(", overflowed " + std::to_string(tra_overflowed)),
              std::string::npos)
        << r.out;

    // read_az_tra: the host's binning was called, and the row through the beam of the binned grid
    // holds two overflowed cells, at 350 and 451, drawn as '!' in the profile (ten cells a mark).
    EXPECT_NE(r.out.find("  host binning: factor 2, 1200 x 1200 -> 600 x 600\n"), std::string::npos) << r.out;
    std::int32_t row_overflowed = 0;
    for (std::size_t x = 0; x < 600; ++x) {
        bool overflowed = false;
        for (std::size_t dy = 0; dy < 2; ++dy) {
            for (std::size_t dx = 0; dx < 2; ++dx) {
                overflowed = overflowed || grid.pixels[(600 + dy) * 1200 + 2 * x + dx] == PIXEL_OVERFLOW;
            }
        }
        row_overflowed += overflowed ? 1 : 0;
    }
    EXPECT_EQ(line_with(r.out, "  overload_count     "),
              "  overload_count     " + std::to_string(row_overflowed));
    EXPECT_GE(row_overflowed, 2);
    const std::string profile = line_with(r.out, "  profile            |");
    ASSERT_EQ(profile.size(), 22u + 60u + 1u) << profile;
    EXPECT_EQ(profile[22 + 35], '!');
    EXPECT_EQ(profile[22 + 45], '!');

    // read_xi: what the library loads.
    const LoadedImage coded = library_pixels(xarea, true);
    const auto xarea_overflowed = std::count(coded.pixels.begin(), coded.pixels.end(), PIXEL_OVERFLOW);
    EXPECT_NE(
        r.out.find("  overflow_count     " + std::to_string(xarea_overflowed) + " above threshold 500000\n"),
        std::string::npos)
        << r.out;

    // correct_cry and anti_correct, through the host's sind and cosd: two of each per transform
    // for the rotation and for each tilt stage.
    geometry_params params{};
    params.rotation = 30.0;
    params.radial_shift = 0.3;
    params.tangential_shift = 0.5;
    double point[2] = {3.0, 4.0};
    correct_cry(point, &params, 200.0);
    char corrected[128];
    std::snprintf(corrected, sizeof corrected, "  corrected          (%.12g, %.12g)", point[0], point[1]);
    EXPECT_EQ(line_with(r.out, "  corrected"), corrected);
    EXPECT_EQ(line_with(r.out, "  anti_correct"), "  anti_correct       (3, 4)");
    EXPECT_EQ(line_with(r.out, "  the host's"), "  the host's sind and cosd were called 12 times");
}

TEST(ExampleHost, AFileTheLibraryRefusesFailsTheHostWithTheLibrarysMessage) {
    TempDir dir;
    const std::string missing = dir.file("missing.tra");
    const RunResult r = example_host({missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("# \033[0mERROR\033[0m READING " + missing + "\n"), std::string::npos) << r.out;
}

} // namespace
} // namespace plateio::test
