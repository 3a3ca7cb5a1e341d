// plateio correct: the library's geometry correction (or its inverse) on points.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "commands.hpp"
#include "errors.hpp"
#include "plateio.h"

namespace plateio::cli {

const char *const kCorrectHelp = R"(usage: plateio correct [--inverse] --distance D [parameters] [X Y]...

Applies the library's detector geometry correction, correct_cry, to points, or with --inverse its
inverse, anti_correct. The points are the X Y pairs given as arguments or, when there are none, the
lines of standard input, each "X Y" (blank lines and lines starting with # are skipped). Each point
is printed as "X' Y'" on a line of its own, with as many digits as it takes to give the exact double.
The library's own sine and cosine in degrees are used.

parameters (lengths in the unit of the points, angles in degrees; each defaults to 0):
  --distance D            distance of the projection centre from the plane (required, not 0)
  --rotation A            rotation; positive turns +x toward +y
  --radial-shift L        added to the distance from the origin
  --tangential-shift L    arc length by which a point turns about the origin
  --offset-x L            subtracted from x
  --offset-y L            subtracted from y
  --distance-offset L     perspective scale (distance - distance offset) / distance
  --tilt-x A              tilt of the x perspective stage
  --tilt-y A              tilt of the y perspective stage
  --inverse               apply anti_correct instead of correct_cry
  -h, --help              this help

A negative coordinate is a point, not an option: "plateio correct --distance 200 -3 4".
Exit status: 0 on success, 1 when a line of standard input is not two numbers, 2 for a wrong
command line.
)";

namespace {

void transform_and_print(double x, double y, const geometry_params &params, double distance, bool inverse) {
    double point[2] = {x, y};
    if (inverse) {
        anti_correct(point, &params, distance);
    } else {
        correct_cry(point, &params, distance);
    }
    print(format_real(point[0]) + " " + format_real(point[1]) + "\n");
}

CorrectOptions parse_correct(Args &args) {
    CorrectOptions options;
    geometry_params &params = options.params;
    std::optional<double> distance;
    bool &inverse = options.inverse;
    std::vector<double> &coordinates = options.coordinates;
    while (!args.done()) {
        if (args.flag({"--inverse"})) {
            inverse = true;
        } else if (auto d = args.value({"--distance"})) {
            distance = parse_real(*d, "--distance");
        } else if (auto r = args.value({"--rotation"})) {
            params.rotation = parse_real(*r, "--rotation");
        } else if (auto rs = args.value({"--radial-shift"})) {
            params.radial_shift = parse_real(*rs, "--radial-shift");
        } else if (auto ts = args.value({"--tangential-shift"})) {
            params.tangential_shift = parse_real(*ts, "--tangential-shift");
        } else if (auto ox = args.value({"--offset-x"})) {
            params.offset_x = parse_real(*ox, "--offset-x");
        } else if (auto oy = args.value({"--offset-y"})) {
            params.offset_y = parse_real(*oy, "--offset-y");
        } else if (auto dof = args.value({"--distance-offset"})) {
            params.distance_offset = parse_real(*dof, "--distance-offset");
        } else if (auto tx = args.value({"--tilt-x"})) {
            params.tilt_x = parse_real(*tx, "--tilt-x");
        } else if (auto ty = args.value({"--tilt-y"})) {
            params.tilt_y = parse_real(*ty, "--tilt-y");
        } else if (args.at_option()) {
            throw UsageError("unknown option '" + args.current() + "'");
        } else if (!args.done()) {
            const std::string item = args.take();
            const std::optional<double> value = to_real(item);
            if (!value) {
                throw UsageError("a coordinate must be a number, not '" + item + "'");
            }
            coordinates.push_back(*value);
        }
    }
    if (!distance) {
        throw UsageError("no distance given: --distance D");
    }
    if (*distance == 0.0 || (!inverse && *distance == params.distance_offset)) {
        throw UsageError("the distance must not be 0, nor equal to the distance offset");
    }
    if (coordinates.size() % 2 != 0) {
        throw UsageError("the coordinates must come in X Y pairs");
    }
    options.distance = *distance;
    return options;
}

} // namespace

int correct(const CorrectOptions &options) {
    const geometry_params &params = options.params;
    const double *distance = &options.distance;
    const bool inverse = options.inverse;
    const std::vector<double> &coordinates = options.coordinates;
    for (std::size_t i = 0; i < coordinates.size(); i += 2) {
        transform_and_print(coordinates[i], coordinates[i + 1], params, *distance, inverse);
    }
    if (!coordinates.empty()) {
        return kExitOk;
    }
    std::string line;
    for (std::size_t number = 1; std::getline(std::cin, line); ++number) {
        std::istringstream fields(line);
        std::string x;
        std::string y;
        std::string extra;
        if (!(fields >> x) || x.starts_with('#')) {
            continue;
        }
        fields >> y;
        const std::optional<double> px = to_real(x);
        const std::optional<double> py = to_real(y);
        if (!px || !py || (fields >> extra)) {
            std::fflush(stdout);
            report("standard input, line " + std::to_string(number) + ": not a point \"X Y\": '" + line +
                   "'");
            return kExitFile;
        }
        transform_and_print(*px, *py, params, *distance, inverse);
    }
    if (std::cin.bad()) {
        report(std::string("standard input: ") + errno_text(errno));
        return kExitFile;
    }
    return kExitOk;
}

int run_correct(Args &args) {
    return correct(parse_correct(args));
}

} // namespace plateio::cli
