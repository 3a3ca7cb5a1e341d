// plateio preview: a PNG to look at, on a logarithmic grey scale, overflowed pixels in red and the
// pixels off the plate in blue.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "commands.hpp"
#include "errors.hpp"
#include "exposure.hpp"
#include "files.hpp"
#include "output.hpp"
#include "stats.hpp"

namespace plateio::cli {

const char *const kPreviewHelp = R"(usage: plateio preview [--low P] [--high P] [--size N] -o OUT.png FILE

Draws an exposure as an 8-bit RGB PNG. Grey levels follow the logarithm of the counts between two
percentiles of the pixels that carry a measurement (on the plate and not overflowed): the --low
percentile and below is black, the --high percentile and above is white,
log(1 + v - low) / log(1 + high - low) in between, so that faint rings stay visible beside strong
ones. Overflowed pixels (PIXEL_OVERFLOW: saturated TRA pixels, X-Area pixels above the file's
threshold) are pure red (255, 0, 0); pixels the file records no value for (a TRA grid's corners,
off the round plate) are dark blue (24, 40, 96).

options:
  -o, --output OUT.png   the PNG to write (required; a name with another extension is refused)
  --low P                lower percentile, 0 to 100 (default 1)
  --high P               upper percentile, 0 to 100 and above --low (default 99.8)
  --size N               shrink so that the longer side is at most N pixels (0 to 65535; default
                         1024; 0: full size); each preview pixel shows the mean of the measured
                         pixels it covers, is red when any of them is overflowed, and blue when all
                         lie off the plate. The image is never enlarged.
  -h, --help             this help

The PNG is written as convert writes its outputs: complete or not at all, never through a link, never
over the input.
Exit status: 0 when the PNG was written, 1 when FILE could not be read or OUT written, 2 for a
wrong command line.
)";

namespace {

constexpr std::uint8_t kOffPlate[3] = {24, 40, 96};

struct Scale {
    double low;
    double high;
};

Scale grey_scale(const Exposure &exposure, double low, double high) {
    std::vector<std::int32_t> values = measured_values(exposure.view(), exposure.mask);
    if (values.empty()) {
        return {0.0, 1.0};
    }
    const double percents[2] = {low, high};
    const std::vector<std::int32_t> found = percentiles(values, percents);
    return {static_cast<double>(found[0]), std::max<double>(found[1], found[0] + 1.0)};
}

std::uint8_t grey(double value, const Scale &scale) {
    const double t = std::log1p(std::max(0.0, value - scale.low)) / std::log1p(scale.high - scale.low);
    return static_cast<std::uint8_t>(std::lround(255.0 * std::clamp(t, 0.0, 1.0)));
}

} // namespace

int run_preview(Args &args) {
    std::optional<std::string> out;
    double low = 1.0;
    double high = 99.8;
    std::int64_t size = 1024;
    std::vector<std::string> files;
    while (!args.done()) {
        if (auto o = args.value({"-o", "--output"})) {
            out = *o;
        } else if (auto l = args.value({"--low"})) {
            low = parse_real(*l, "--low");
        } else if (auto h = args.value({"--high"})) {
            high = parse_real(*h, "--high");
        } else if (auto s = args.value({"--size"})) {
            size = parse_integer(*s, "--size", 0, 65535);
        } else if (args.at_option()) {
            throw UsageError("unknown option '" + args.current() + "'");
        } else if (!args.done()) {
            files.push_back(args.take());
        }
    }
    if (files.size() != 1) {
        throw UsageError(files.empty() ? "no FILE given" : "preview takes one FILE");
    }
    if (!out || out->empty()) {
        throw UsageError("no output given: -o OUT.png");
    }
    if (!(low >= 0.0 && high <= 100.0 && low < high)) {
        throw UsageError("the percentiles must satisfy 0 <= --low < --high <= 100");
    }
    std::string extension = std::filesystem::path(*out).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    if (!extension.empty() && extension != ".png") {
        throw UsageError("preview writes PNG images; '" + *out + "' is named otherwise");
    }
    const auto input = identity_of(files[0]);
    if (input && identity_of(*out) == input) {
        throw UsageError("the output '" + *out + "' is the input '" + files[0] +
                         "'; refusing to overwrite an input");
    }
    check_output_target(*out);

    const Exposure exposure = load_exposure(files[0], true);
    for (const std::string &warning : exposure.warnings) {
        report(files[0] + ": warning: " + warning);
    }
    const std::span<const std::int32_t> pixels = exposure.view();
    const Scale scale = grey_scale(exposure, low, high);
    const auto width = static_cast<std::size_t>(exposure.frame.width);
    const auto height = static_cast<std::size_t>(exposure.frame.height);
    const std::size_t longer = std::max(width, height);
    const std::size_t limit = size > 0 ? static_cast<std::size_t>(size) : longer;
    const std::size_t out_width = longer <= limit ? width : std::max<std::size_t>(1, width * limit / longer);
    const std::size_t out_height =
        longer <= limit ? height : std::max<std::size_t>(1, height * limit / longer);

    std::vector<std::uint8_t> rgb(out_width * out_height * 3);
    for (std::size_t oy = 0; oy < out_height; ++oy) {
        const std::size_t y0 = oy * height / out_height;
        const std::size_t y1 = std::max(y0 + 1, (oy + 1) * height / out_height);
        for (std::size_t ox = 0; ox < out_width; ++ox) {
            const std::size_t x0 = ox * width / out_width;
            const std::size_t x1 = std::max(x0 + 1, (ox + 1) * width / out_width);
            double sum = 0.0;
            std::size_t count = 0;
            bool overflowed = false;
            for (std::size_t y = y0; y < y1; ++y) {
                for (std::size_t x = x0; x < x1; ++x) {
                    const std::size_t i = y * width + x;
                    if (exposure.mask[i] != 0) {
                        continue;
                    }
                    const std::int32_t v = pixels[i];
                    overflowed = overflowed || v == PIXEL_OVERFLOW;
                    sum += v == PIXEL_OVERFLOW ? 0.0 : v;
                    count += v == PIXEL_OVERFLOW ? 0 : 1;
                }
            }
            std::uint8_t *p = &rgb[3 * (oy * out_width + ox)];
            if (overflowed) {
                p[0] = 255;
                p[1] = 0;
                p[2] = 0;
            } else if (count == 0) {
                std::copy(std::begin(kOffPlate), std::end(kOffPlate), p);
            } else {
                p[0] = p[1] = p[2] = grey(sum / static_cast<double>(count), scale);
            }
        }
    }
    const auto png =
        png_bytes(*out, rgb, static_cast<std::int32_t>(out_width), static_cast<std::int32_t>(out_height));
    PendingOutput output(*out);
    output.write(png);
    output.commit();
    return kExitOk;
}

} // namespace plateio::cli
