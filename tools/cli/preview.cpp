// plateio preview: a PNG to look at, on a logarithmic grey scale, overflowed pixels in red and the
// pixels off the plate in blue.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <vector>

#include "commands.hpp"
#include "errors.hpp"
#include "exposure.hpp"
#include "files.hpp"
#include "formats/formats.hpp"
#include "header.hpp"
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
  --header               also write the exposure's header (as plateio info and convert give it)
                         as {"header": {...}} to OUT.json, beside the PNG
  -h, --help             this help

The PNG is written as convert writes its outputs: complete or not at all, never through a link, never
over the input; with --header, the two files take their names together. An exposure with no pixels
(0 x N) has nothing to draw and is refused.
Exit status: 0 when the PNG was written, 1 when FILE could not be read, had no pixels, or OUT could
not be written, 2 for a wrong command line.
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

PreviewOptions parse_preview(Args &args) {
    PreviewOptions options;
    std::vector<std::string> files;
    while (!args.done()) {
        if (auto o = args.value({"-o", "--output"})) {
            options.out = *o;
        } else if (auto l = args.value({"--low"})) {
            options.low = parse_real(*l, "--low");
        } else if (auto h = args.value({"--high"})) {
            options.high = parse_real(*h, "--high");
        } else if (auto s = args.value({"--size"})) {
            options.size = static_cast<std::size_t>(parse_integer(*s, "--size", 0, 65535));
        } else if (args.flag({"--header"})) {
            options.header = true;
        } else if (args.at_option()) {
            throw UsageError("unknown option '" + args.current() + "'");
        } else {
            files.push_back(args.take());
        }
    }
    if (files.size() != 1) {
        throw UsageError(files.empty() ? "no FILE given" : "preview takes one FILE");
    }
    options.file = files[0];
    if (options.out.empty()) {
        throw UsageError("no output given: -o OUT.png");
    }
    if (!(options.low >= 0.0 && options.high <= 100.0 && options.low < options.high)) {
        throw UsageError("the percentiles must satisfy 0 <= --low < --high <= 100");
    }
    std::string extension = std::filesystem::path(options.out).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    if (!extension.empty() && extension != ".png") {
        throw UsageError("preview writes PNG images; '" + options.out + "' is named otherwise");
    }
    return options;
}

// The picture: each preview pixel the mean of the measured pixels it covers, red when any is
// overflowed, blue when all lie off the plate.
std::vector<std::uint8_t> draw(const Exposure &exposure, const Scale &scale, std::size_t out_width,
                               std::size_t out_height) {
    const std::span<const std::int32_t> pixels = exposure.view();
    const auto width = static_cast<std::size_t>(exposure.frame.width);
    const auto height = static_cast<std::size_t>(exposure.frame.height);
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
                    overflowed = overflowed || exposure.mask[i] == kMaskOverflowed;
                    sum += exposure.mask[i] == 0 ? pixels[i] : 0.0;
                    count += exposure.mask[i] == 0 ? 1 : 0;
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
    return rgb;
}

} // namespace

int preview(const PreviewOptions &options) {
    const auto input = identity_of(options.file);
    if (input && identity_of(options.out) == input) {
        throw UsageError("the output '" + options.out + "' is the input '" + options.file +
                         "'; refusing to overwrite an input");
    }
    const std::string sidecar_name =
        options.out.substr(0, options.out.size() -
                                  std::filesystem::path(options.out).extension().string().size()) +
        ".json";
    check_output_target(options.out);
    if (options.header) {
        check_output_target(sidecar_name);
    }

    const Exposure exposure = load_exposure(options.file);
    for (const std::string &warning : exposure.warnings) {
        report(FileError(options.file, "warning: " + warning));
    }
    const auto width = static_cast<std::size_t>(exposure.frame.width);
    const auto height = static_cast<std::size_t>(exposure.frame.height);
    if (width == 0 || height == 0) {
        throw FileError(options.file, "an exposure of " + std::to_string(width) + " x " +
                                          std::to_string(height) + " pixels: nothing to draw");
    }
    const Scale scale = grey_scale(exposure, options.low, options.high);
    const std::size_t longer = std::max(width, height);
    const std::size_t limit = options.size > 0 ? options.size : longer;
    const std::size_t out_width = longer <= limit ? width : std::max<std::size_t>(1, width * limit / longer);
    const std::size_t out_height =
        longer <= limit ? height : std::max<std::size_t>(1, height * limit / longer);
    const std::vector<std::uint8_t> rgb = draw(exposure, scale, out_width, out_height);
    PendingOutput png(options.out);
    write_png(png, rgb, static_cast<std::int32_t>(out_width), static_cast<std::int32_t>(out_height));
    std::optional<PendingOutput> sidecar;
    if (options.header) {
        sidecar.emplace(sidecar_name);
        const std::string text = header_document(exposure_header(exposure)) + "\n";
        sidecar->write({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()});
    }
    commit_all({&png, sidecar ? &*sidecar : nullptr});
    return kExitOk;
}

int run_preview(Args &args) {
    return preview(parse_preview(args));
}

} // namespace plateio::cli
