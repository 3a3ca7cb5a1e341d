#include "synth.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <stdexcept>

#include "xarea_writer.hpp"

namespace plateio::writers {

namespace {

// A counter-based generator: every pixel draws from its own stream, keyed by the seed and the
// pixel's index, so that a picture does not depend on the order in which its pixels are made.
class PixelRandom {
  public:
    PixelRandom(std::uint64_t seed, std::uint64_t index)
        : state_(mix(seed ^ mix(index ^ 0x5851f42d4c957f2d))) {}

    // Uniform in the open interval (0, 1).
    double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }

  private:
    static std::uint64_t mix(std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    std::uint64_t next() {
        state_ += 0x9e3779b97f4a7c15;
        return mix(state_);
    }
    std::uint64_t state_;
};

// Counts of a Poisson law with the given mean. Beyond a few tens of counts the law is, to well
// within its own spread, the normal law of the same mean and variance, which costs two draws
// instead of a number of draws that grows with the mean.
double counts(double mean, PixelRandom &random) {
    if (!(mean > 0.0)) {
        return 0.0;
    }
    if (mean < 30.0) {
        const double limit = std::exp(-mean);
        double product = random.uniform();
        double k = 0.0;
        while (product > limit) {
            product *= random.uniform();
            k += 1.0;
        }
        return k;
    }
    const double radius = std::sqrt(-2.0 * std::log(random.uniform()));
    const double normal = radius * std::cos(2.0 * std::numbers::pi * random.uniform());
    return std::max(0.0, std::round(mean + std::sqrt(mean) * normal));
}

struct Ring {
    double radius;
    double sigma;
    double height;
    double texture; // relative amplitude of the two-fold azimuthal modulation
    double phase;   // its azimuth, radians
};

// The powder: a diamond-type cubic lattice (a = 5.431) in molybdenum radiation (0.7107), the first
// ten allowed reflections by h^2 + k^2 + l^2 with their rough relative intensities. The detector
// sits at 0.8 of the half-size, so the tenth ring just fits inside the shorter side.
struct Reflection {
    double hkl_squared;
    double intensity;
};
constexpr Reflection kReflections[] = {{3, 1.00},  {8, 0.55},  {11, 0.30}, {16, 0.06}, {19, 0.11},
                                       {24, 0.12}, {27, 0.06}, {32, 0.03}, {35, 0.05}, {40, 0.03}};
constexpr double kWavelength = 0.7107;
constexpr double kWavelengthOverCell = kWavelength / 5.431;
constexpr double kDistance = 0.8;

std::vector<Ring> powder_rings(double half_size, double peak, std::uint64_t seed) {
    std::vector<Ring> rings;
    std::uint64_t n = 0;
    for (const Reflection &r : kReflections) {
        const double theta = std::asin(0.5 * kWavelengthOverCell * std::sqrt(r.hkl_squared));
        const double radius = kDistance * half_size * std::tan(2.0 * theta);
        // Rings far out are wider: the plate is flat, so the same angular width covers more pixels.
        const double sigma = 0.0025 * half_size + 0.004 * radius;
        PixelRandom random(seed, ~n++);
        rings.push_back({radius, sigma, peak * r.intensity, 0.1 + 0.15 * random.uniform(),
                         2.0 * std::numbers::pi * random.uniform()});
    }
    return rings;
}

struct Spot {
    double x;
    double y;
    double sigma;
    double height;
};

// Large grains light up a few points on the strong rings far past what the plate holds.
std::vector<Spot> saturated_spots(const SynthSettings &s, const std::vector<Ring> &rings, double cx,
                                  double cy) {
    std::vector<Spot> spots;
    for (std::int32_t i = 0; i < s.saturated_spots; ++i) {
        PixelRandom random(s.seed, ~std::uint64_t{0} - 1000 - static_cast<std::uint64_t>(i));
        const Ring &ring = rings[static_cast<std::size_t>(random.uniform() * 4.0) % rings.size()];
        // Keep clear of the beam stop's arm, which runs toward the lower left.
        const double azimuth = std::numbers::pi * (-0.6 + 1.3 * random.uniform());
        spots.push_back({cx + ring.radius * std::cos(azimuth), cy + ring.radius * std::sin(azimuth), 0.9,
                         4.0 * static_cast<double>(s.ceiling)});
    }
    return spots;
}

// Fraction of the beam that reaches a point: the stop is a disk on the beam with an arm holding it
// from the lower left; inside its shadow only a trace of scatter arrives, and the edge is soft
// over about a pixel and a half.
double transmission(double dx, double dy, double half_size) {
    const double stop_radius = 0.06 * half_size;
    const double arm_half_width = 0.015 * half_size;
    const double arm_x = -std::cos(0.35);
    const double arm_y = std::sin(0.35);
    const double along = std::max(0.0, dx * arm_x + dy * arm_y);
    const double across = std::hypot(dx - along * arm_x, dy - along * arm_y);
    const double outside = std::min(std::hypot(dx, dy) - stop_radius, across - arm_half_width);
    const double edge = std::clamp((outside + 0.75) / 1.5, 0.0, 1.0);
    return 0.02 + 0.98 * edge * edge * (3.0 - 2.0 * edge);
}

} // namespace

std::vector<std::int32_t> synth_exposure(const SynthSettings &s) {
    if (s.width <= 0 || s.height <= 0 || s.ceiling <= 0) {
        throw std::invalid_argument("synth_exposure: the size and the ceiling must be positive");
    }
    const auto width = static_cast<std::size_t>(s.width);
    const auto height = static_cast<std::size_t>(s.height);
    const double cx = 0.5 * static_cast<double>(s.width);
    const double cy = 0.5 * static_cast<double>(s.height);
    const double half_size = std::min(cx, cy);
    const std::vector<Ring> rings = s.rings ? powder_rings(half_size, s.peak, s.seed) : std::vector<Ring>{};
    const std::vector<Spot> spots = s.rings ? saturated_spots(s, rings, cx, cy) : std::vector<Spot>{};
    const double ceiling = static_cast<double>(s.ceiling);

    std::vector<std::int32_t> image(width * height);
    for (std::size_t y = 0; y < height; ++y) {
        const double dy = static_cast<double>(y) + 0.5 - cy;
        for (std::size_t x = 0; x < width; ++x) {
            const double dx = static_cast<double>(x) + 0.5 - cx;
            const double r = std::hypot(dx, dy);
            // Air and sample-holder scatter: strongest near the beam, a broad amorphous halo, and a
            // slight slope across the plate from the sample's absorption.
            double mean =
                !s.rings ? s.background
                         : s.background *
                               (0.4 + 0.6 * std::exp(-r / (0.5 * half_size)) +
                                0.5 * std::exp(-std::pow((r - 0.3 * half_size) / (0.12 * half_size), 2.0))) *
                               (1.0 + 0.08 * dx / half_size);
            const double azimuth = std::atan2(dy, dx);
            for (const Ring &ring : rings) {
                const double offset = (r - ring.radius) / ring.sigma;
                if (std::abs(offset) < 6.0) {
                    mean += ring.height * std::exp(-0.5 * offset * offset) *
                            (1.0 + ring.texture * std::cos(2.0 * (azimuth - ring.phase)));
                }
            }
            for (const Spot &spot : spots) {
                const double sx = (dx + cx - spot.x) / spot.sigma;
                const double sy = (dy + cy - spot.y) / spot.sigma;
                if (sx * sx + sy * sy < 64.0) {
                    mean += spot.height * std::exp(-0.5 * (sx * sx + sy * sy));
                }
            }
            for (const SynthSpot &spot : s.spots) {
                const double sx = (dx + cx - spot.x) / spot.sigma;
                const double sy = (dy + cy - spot.y) / spot.sigma;
                if (sx * sx + sy * sy < 64.0) {
                    mean += spot.total / (2.0 * std::numbers::pi * spot.sigma * spot.sigma) *
                            std::exp(-0.5 * (sx * sx + sy * sy));
                }
            }
            // The plate's own fog, which the beam stop does not shade.
            mean = mean * transmission(dx, dy, half_size) + 0.02 * s.background;
            PixelRandom random(s.seed, y * width + x);
            image[y * width + x] = static_cast<std::int32_t>(std::min(counts(mean, random), ceiling));
        }
    }
    return image;
}

SynthGeometry synth_geometry(std::int32_t width, std::int32_t height) {
    const double half_size = 0.5 * static_cast<double>(std::min(width, height));
    SynthGeometry g;
    g.wavelength = kWavelength;
    g.distance = kDistance * half_size * g.pixel_size;
    g.beam_x = 0.5 * static_cast<double>(width);
    g.beam_y = 0.5 * static_cast<double>(height);
    return g;
}

namespace {

// The shortest text that reads back as the same double.
std::string shortest(double v) {
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) {
            break;
        }
    }
    return text;
}

} // namespace

std::string poni_text(const SynthGeometry &g, std::int32_t width, std::int32_t height) {
    // pyFAI's axis 1 is the slow one (rows, y), axis 2 the fast one (columns, x); lengths in metres.
    const double pixel = g.pixel_size * 1e-3;
    return "# The geometry plateio synth drew this exposure with (pyFAI calibration, version 2)\n"
           "poni_version: 2\n"
           "Detector: Detector\n"
           "Detector_config: {\"pixel1\": " +
           shortest(pixel) + ", \"pixel2\": " + shortest(pixel) + ", \"max_shape\": [" +
           std::to_string(height) + ", " + std::to_string(width) + "]}\n" +
           "Distance: " + shortest(g.distance * 1e-3) + "\nPoni1: " + shortest(g.beam_y * pixel) +
           "\nPoni2: " + shortest(g.beam_x * pixel) +
           "\nRot1: 0.0\nRot2: 0.0\nRot3: 0.0\nWavelength: " + shortest(g.wavelength * 1e-10) + "\n";
}

std::vector<SeriesSpot> series_spots(const SynthSettings &s, std::int32_t count, std::int32_t frames) {
    const double cx = 0.5 * static_cast<double>(s.width);
    const double cy = 0.5 * static_cast<double>(s.height);
    double outer = 0.9 * std::min(cx, cy);
    if (s.width == kTraGrid && s.height == kTraGrid) {
        outer = std::min(outer, kSynthPlateRadius - 20.0);
    }
    const double inner = 0.15 * std::min(cx, cy);
    const double arm = std::atan2(std::sin(0.35), -std::cos(0.35));
    std::vector<SeriesSpot> spots;
    // Rejection keeps spots apart (their light does not overlap) and off the beam stop's arm; a
    // crowded small image simply gets fewer than asked for after enough tries.
    for (std::uint64_t attempt = 0; spots.size() < static_cast<std::size_t>(std::max(count, 0)) &&
                                    attempt < 1000 * static_cast<std::uint64_t>(std::max(count, 0));
         ++attempt) {
        PixelRandom random(s.seed, ~std::uint64_t{0} - 1000000 - attempt);
        const double radius = std::sqrt(inner * inner + (outer * outer - inner * inner) * random.uniform());
        const double azimuth = 2.0 * std::numbers::pi * random.uniform();
        const double from_arm = std::remainder(azimuth - arm, 2.0 * std::numbers::pi);
        const SynthSpot spot{cx + radius * std::cos(azimuth), cy + radius * std::sin(azimuth),
                             1.0 + 0.3 * random.uniform(), 3000.0 + 12000.0 * random.uniform()};
        const double frame = static_cast<double>(std::max(frames, 1)) * random.uniform() - 0.5;
        bool clear = std::abs(from_arm) > 0.2;
        for (const SeriesSpot &other : spots) {
            clear = clear && (std::hypot(other.spot.x - spot.x, other.spot.y - spot.y) > 12.0 ||
                              std::abs(other.frame - frame) > 4.0);
        }
        if (clear) {
            spots.push_back({spot, frames <= 1 ? 0.0 : std::clamp(frame, 0.0, frames - 1.0)});
        }
    }
    return spots;
}

std::vector<SynthSpot> spots_of_frame(std::span<const SeriesSpot> spots, std::int32_t frame) {
    // A reflection crosses the diffracting condition over about a frame and a half.
    std::vector<SynthSpot> lit;
    for (const SeriesSpot &s : spots) {
        const double weight = std::exp(-0.5 * std::pow((frame - s.frame) / 0.6, 2.0));
        if (weight > 0.02) {
            SynthSpot spot = s.spot;
            spot.total *= weight;
            lit.push_back(spot);
        }
    }
    return lit;
}

std::vector<std::uint8_t> synth_tra_file(std::span<const std::int32_t> grid, const ExposureValues &values,
                                         const char *text) {
    constexpr std::size_t kPixels = std::size_t{kTraGrid} * kTraGrid;
    if (grid.size() != kPixels) {
        throw std::invalid_argument("synth_tra_file: a TRA image is 1200 x 1200 pixels");
    }
    std::vector<std::uint16_t> clipped(kPixels);
    std::transform(grid.begin(), grid.end(), clipped.begin(),
                   [](std::int32_t v) { return static_cast<std::uint16_t>(std::clamp(v, 0, 65535)); });
    const TraHeaderValues header{values.geometry[0], values.geometry[2], values.geometry[3],
                                 values.geometry[4], values.geometry[5]};
    TraFile file = tra_from_grid(clipped, circular_row_table(kSynthPlateRadius), header);
    file.header = tra_header(header, text);
    return encode_tra(file);
}

std::vector<std::uint8_t> synth_xarea_file(std::span<const std::int32_t> pixels, std::int32_t width,
                                           std::int32_t height, const ExposureValues &values,
                                           bool compressed) {
    if (width < 0 || height < 0 ||
        pixels.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        throw std::invalid_argument("synth_xarea_file: the image does not have width x height pixels");
    }
    xi_header header = make_xi_header(width, height, 0);
    set_field(header.geometry0, values.geometry[0]);
    set_field(header.geometry1, values.geometry[1]);
    set_field(header.geometry2, values.geometry[2]);
    set_field(header.geometry3, values.geometry[3]);
    set_field(header.geometry4, values.geometry[4]);
    set_field(header.geometry5, values.geometry[5]);
    const auto integer = [](double v) {
        return static_cast<std::int32_t>(std::lround(std::clamp(v, -2147483648.0, 2147483647.0)));
    };
    set_field(header.geometry6, integer(values.geometry[6]));
    set_field(header.geometry7, integer(values.geometry[7]));
    set_field(header.geometry8, integer(values.geometry[8]));
    set_field(header.setting, values.setting);
    set_field(header.overflow_threshold, values.overflow_threshold);
    set_field(header.scale_value, values.scale_value);
    set_field(header.overload_count,
              static_cast<std::int32_t>(std::count_if(pixels.begin(), pixels.end(), [&](std::int32_t v) {
                  return v > values.overflow_threshold;
              })));
    return xarea_file(header, pixels, compressed);
}

} // namespace plateio::writers
