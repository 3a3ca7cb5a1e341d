// plateio synth: a synthetic exposure written by the project's own writers.
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "commands.hpp"
#include "errors.hpp"
#include "files.hpp"
#include "synth.hpp"
#include "user_geometry.hpp"

namespace plateio::cli {

const char *const kSynthHelp = R"(usage: plateio synth --format tra|xarea [options] -o FILE

Writes a realistic synthetic exposure: the Debye-Scherrer rings of a cubic powder (a little textured,
widening outward) on a smooth background with a diffuse halo, Poisson counting noise, the shadow of a
beam stop and its holder arm, and a few grains bright enough to saturate. The same options and seed
always give the same file.

  tra     a 1200 x 1200 TRA file: a round plate of radius 595 pixels, pixels up to 65535 (the
          saturation mark, which readers turn into PIXEL_OVERFLOW)
  xarea   an X-Area file of --size pixels, plain or difference-coded; the saturated grains lie just
          above the header's overflow threshold, and the header's overload_count counts them

options:
  -o, --output FILE           the file to write (required)
  --format tra|xarea          the file family (required)
  --seed N                    seed of the noise, the texture and the grains (0 to 2^63-1, default 1)
  --size WxH                  X-Area image size (1 to 8192 each, default 1000x1000); TRA is 1200x1200
  --compressed                X-Area: difference-code the pixel block
  --geometry I=V              header value for image_info.geometry[I] (repeatable; default 0). TRA stores
                              indices 0 and 2 to 5, in single precision; X-Area stores 0 to 8, and 6 to 8
                              must be integers
  --setting N                 X-Area: header setting (default 0)
  --overflow-threshold N      X-Area: header overflow threshold (default 1048575)
  --scale-value V             X-Area: header scale value (default 1)
  --no-rings                  a flat background: no powder rings and no saturated grains
  --spots N                   add N Bragg-like spots (round Gaussians of 3000 to 15000 counts, sigma
                              1 to 1.3 pixels) and list them in NAME.spots.txt: x y (pixels from the
                              first pixel's outer corner), the frame (0-based) where each is
                              brightest, its angle with --oscillation, and its counts
  --frames N                  a rotation series of N exposures (1 to 10000): FILE must hold a run of
                              '#', replaced by the frame number from 1 (series_###.tra); each frame
                              has its own noise, and a spot lights up over about two frames
  --oscillation START,WIDTH   the series' rotation, for the angles in NAME.spots.txt (degrees)
  -h, --help                  this help

Beside the exposure, NAME.poni holds the geometry the picture is drawn with, as a pyFAI calibration:
wavelength 0.7107 A, pixels of 0.1 mm, the plate 0.8 of half the shorter side from the sample (480
pixels, 48 mm, for TRA), the beam at the image's centre. NAME is FILE without its extension (and
without its run of '#').

Exit status: 0 when the file was written, 1 when it could not be, 2 for a wrong command line.
)";

namespace {

std::pair<std::int32_t, std::int32_t> parse_size(const std::string &text) {
    const auto x = text.find('x');
    if (x == std::string::npos) {
        throw UsageError("--size must be WxH, like 1000x800, not '" + text + "'");
    }
    const auto w = parse_integer(std::string_view(text).substr(0, x), "the width of --size", 1, 8192);
    const auto h = parse_integer(std::string_view(text).substr(x + 1), "the height of --size", 1, 8192);
    return {static_cast<std::int32_t>(w), static_cast<std::int32_t>(h)};
}

} // namespace

namespace {

SynthOptions parse_synth(Args &args) {
    SynthOptions o;
    o.values.overflow_threshold = 1048575;
    while (!args.done()) {
        if (auto out = args.value({"-o", "--output"})) {
            o.out = *out;
        } else if (auto f = args.value({"--format"})) {
            if (*f != "tra" && *f != "xarea") {
                throw UsageError("--format must be tra or xarea, not '" + *f + "'");
            }
            o.format = *f;
        } else if (auto s = args.value({"--seed"})) {
            o.seed = static_cast<std::uint64_t>(parse_integer(*s, "--seed", 0, INT64_MAX));
        } else if (auto z = args.value({"--size"})) {
            o.size = parse_size(*z);
        } else if (args.flag({"--compressed"})) {
            o.compressed = true;
            o.xarea_only_given = true;
        } else if (auto g = args.value({"--geometry"})) {
            const auto equals = g->find('=');
            if (equals == std::string::npos) {
                throw UsageError("--geometry must be I=V, like 0=80, not '" + *g + "'");
            }
            const auto index = static_cast<std::size_t>(
                parse_integer(std::string_view(*g).substr(0, equals), "the index of --geometry", 0, 8));
            const double v = parse_real(std::string_view(*g).substr(equals + 1), "the value of --geometry");
            if (index >= 6 && (v != std::floor(v) || std::abs(v) > 2147483647.0)) {
                throw UsageError("geometry[" + std::to_string(index) + "] is stored as an integer; '" +
                                 g->substr(equals + 1) + "' is not one");
            }
            o.values.geometry[index] = v;
            o.geometry_given[index] = true;
        } else if (auto n = args.value({"--setting"})) {
            o.values.setting =
                static_cast<std::int32_t>(parse_integer(*n, "--setting", INT32_MIN, INT32_MAX));
            o.xarea_only_given = true;
        } else if (auto t = args.value({"--overflow-threshold"})) {
            o.values.overflow_threshold =
                static_cast<std::int32_t>(parse_integer(*t, "--overflow-threshold", 1, INT32_MAX - 1));
            o.xarea_only_given = true;
        } else if (auto v = args.value({"--scale-value"})) {
            o.values.scale_value = parse_real(*v, "--scale-value");
            o.xarea_only_given = true;
        } else if (args.flag({"--no-rings"})) {
            o.rings = false;
        } else if (auto spots_text = args.value({"--spots"})) {
            o.spots = static_cast<std::int32_t>(parse_integer(*spots_text, "--spots", 0, 10000));
        } else if (auto frames_text = args.value({"--frames"})) {
            o.frames = static_cast<std::int32_t>(parse_integer(*frames_text, "--frames", 1, 10000));
        } else if (auto rotation = args.value({"--oscillation"})) {
            UserGeometry turn;
            take_geometry_option("--oscillation", *rotation, turn);
            o.oscillation = std::pair{*turn.start, *turn.increment};
        } else if (args.at_option()) {
            throw UsageError("unknown option '" + args.current() + "'");
        } else {
            throw UsageError("unexpected argument '" + args.current() + "'");
        }
    }
    if (!o.format) {
        throw UsageError("no format given: --format tra or --format xarea");
    }
    if (o.out.empty()) {
        throw UsageError("no output given: -o FILE");
    }
    return o;
}

} // namespace

int synth(const SynthOptions &o) {
    const std::string *out = &o.out;
    const auto &format = o.format;
    const auto &size = o.size;
    const std::uint64_t seed = o.seed;
    const bool compressed = o.compressed;
    const bool xarea_only_given = o.xarea_only_given;
    const auto &geometry_given = o.geometry_given;
    writers::ExposureValues values = o.values;
    const bool rings = o.rings;
    const std::int32_t spot_count = o.spots;
    const std::int32_t frames = o.frames;
    const auto &oscillation = o.oscillation;
    const std::size_t run = out->find('#');
    const std::size_t run_length = run == std::string::npos ? 0
                                   : out->find_first_not_of('#', run) == std::string::npos
                                       ? out->size() - run
                                       : out->find_first_not_of('#', run) - run;
    if (frames > 1 && run == std::string::npos) {
        throw UsageError("a series of --frames needs a run of '#' in the file name for the frame number, "
                         "like series_###.tra");
    }
    if (run != std::string::npos && std::to_string(frames).size() > run_length) {
        throw UsageError("'" + *out + "' has room for " + std::to_string(run_length) +
                         " digits, too few for " + std::to_string(frames) + " frames");
    }

    writers::SynthSettings settings;
    settings.seed = seed;
    settings.rings = rings;
    bool tra = *format == "tra";
    if (tra) {
        if (xarea_only_given) {
            throw UsageError(
                "--compressed, --setting, --overflow-threshold and --scale-value are X-Area header "
                "values; a TRA file has none of them");
        }
        if (size && (size->first != 1200 || size->second != 1200)) {
            throw UsageError("a TRA exposure is always 1200x1200");
        }
        for (std::size_t i : {1u, 6u, 7u, 8u}) {
            if (geometry_given[i]) {
                throw UsageError("a TRA header stores geometry 0 and 2 to 5, not " + std::to_string(i));
            }
        }
    } else {
        std::tie(settings.width, settings.height) = size.value_or(std::pair{1000, 1000});
        // An X-Area plate holds far more than 16 bits; the grains end one count above the threshold.
        settings.peak = 120000.0;
        settings.background = 800.0;
        settings.ceiling = values.overflow_threshold + 1;
    }

    // NAME: the file without its extension and its run of '#' (and the separator before the run).
    std::string name = std::filesystem::path(*out).replace_extension().string();
    if (run != std::string::npos && run < name.size()) {
        const std::size_t cut =
            run > 0 && (name[run - 1] == '_' || name[run - 1] == '.' || name[run - 1] == '-') ? run - 1 : run;
        name.erase(cut, std::min(name.size(), run + run_length) - cut);
    }
    const auto frame_name = [&](std::int32_t k) {
        if (run == std::string::npos) {
            return *out;
        }
        std::string number = std::to_string(k + 1);
        number.insert(0, run_length - number.size(), '0');
        return out->substr(0, run) + number + out->substr(run + run_length);
    };

    const std::vector<writers::SeriesSpot> spots = writers::series_spots(settings, spot_count, frames);
    std::vector<std::pair<std::string, std::string>> texts; // name, content
    {
        const writers::SynthGeometry g = writers::synth_geometry(settings.width, settings.height);
        texts.emplace_back(name + ".poni", writers::poni_text(g, settings.width, settings.height));
    }
    if (spot_count > 0) {
        std::string list =
            "# x y frame angle counts: Bragg-like spots of plateio synth (x, y in pixels from the first "
            "pixel's outer corner; frame 0-based, where the spot is brightest; angle in degrees, "
            "nan without --oscillation)\n";
        for (const writers::SeriesSpot &spot : spots) {
            const double angle =
                oscillation ? oscillation->first + (spot.frame + 0.5) * oscillation->second : std::nan("");
            char line[160];
            std::snprintf(line, sizeof line, "%.4f %.4f %.3f %.4f %.1f\n", spot.spot.x, spot.spot.y,
                          spot.frame, angle, spot.spot.total);
            list += line;
        }
        texts.emplace_back(name + ".spots.txt", list);
    }
    for (std::int32_t k = 0; k < frames; ++k) {
        check_output_target(frame_name(k));
    }
    for (const auto &[path, text] : texts) {
        check_output_target(path);
    }
    for (std::int32_t k = 0; k < frames; ++k) {
        settings.seed = seed + static_cast<std::uint64_t>(k);
        settings.spots = writers::spots_of_frame(spots, k);
        const std::vector<std::int32_t> image = writers::synth_exposure(settings);
        std::vector<std::uint8_t> bytes;
        if (tra) {
            const std::string text = "plateio synthetic exposure, seed " + std::to_string(settings.seed);
            bytes = writers::synth_tra_file(image, values, text.c_str());
        } else {
            bytes = writers::synth_xarea_file(image, settings.width, settings.height, values, compressed);
        }
        PendingOutput output(frame_name(k));
        output.write(bytes);
        commit_all({&output});
    }
    for (const auto &[path, text] : texts) {
        PendingOutput output(path);
        output.write({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()});
        commit_all({&output});
    }
    return kExitOk;
}

int run_synth(Args &args) {
    return synth(parse_synth(args));
}

} // namespace plateio::cli
