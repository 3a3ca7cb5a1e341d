// Synthetic exposures: a powder pattern as an image plate records it, and complete TRA and X-Area
// files made from it. Used by the command-line tool (plateio synth), the tests, the benchmarks and
// the fuzz corpus, so that every one of them works on the same kind of picture.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tra_writer.hpp"

namespace plateio::writers {

// The radius of the round plate in a synthetic TRA file, in grid pixels: the rows' spans end a few
// pixels inside the grid, as a scanner's do.
inline constexpr double kSynthPlateRadius = 595.0;

// A Bragg-like spot: a small round Gaussian of `total` counts above what lies beneath it, centred at
// (x, y) in pixel coordinates (the first pixel spans 0 to 1 in both).
struct SynthSpot {
    double x = 0.0;
    double y = 0.0;
    double sigma = 1.0;
    double total = 0.0;
};

// The geometry every synthetic exposure is drawn with: the powder's wavelength, the plate at 0.8 of
// half the shorter side from the sample, square pixels of kSynthPixelSize, the beam at the image's
// centre. Lengths in millimetres, the wavelength in angstrom, the beam centre in pixels from the
// first pixel's outer corner.
inline constexpr double kSynthPixelSize = 0.1;
struct SynthGeometry {
    double wavelength = 0.0;
    double distance = 0.0;
    double pixel_size = kSynthPixelSize;
    double beam_x = 0.0;
    double beam_y = 0.0;
};
SynthGeometry synth_geometry(std::int32_t width, std::int32_t height);

// The geometry as a pyFAI calibration file (version 2: metres, the PONI from the first pixel's
// corner, no rotation).
std::string poni_text(const SynthGeometry &geometry, std::int32_t width, std::int32_t height);

// What the picture looks like. Lengths scale with the image: the ring radii, ring widths and the
// beam stop are fractions of half the shorter side.
struct SynthSettings {
    std::int32_t width = kTraGrid;
    std::int32_t height = kTraGrid;
    std::uint64_t seed = 1;
    double peak = 30000.0;            // mean counts at the crest of the strongest ring
    double background = 300.0;        // mean counts of the smooth background near the beam
    std::int32_t ceiling = 65535;     // the detector's top level: every pixel is clipped to it
    std::int32_t saturated_spots = 4; // bright grains on the rings, driven past the ceiling
    bool rings = true;                // false: a flat background, no powder rings, no grains
    std::vector<SynthSpot> spots;     // Bragg-like spots added on top
};

// `count` spots of a rotation series of `frames` frames, drawn from the seed: each lies inside the
// image (and, for a 1200 x 1200 image, on the round plate of kSynthPlateRadius), clear of the beam
// stop and of the edges, and is lit in the frames around its own angle, as a reflection passing
// through the diffracting condition is. spots_of_frame gives what frame k shows.
struct SeriesSpot {
    SynthSpot spot;
    double frame = 0.0; // the frame (0-based, fractional) at which it is brightest
};
std::vector<SeriesSpot> series_spots(const SynthSettings &settings, std::int32_t count, std::int32_t frames);
std::vector<SynthSpot> spots_of_frame(std::span<const SeriesSpot> spots, std::int32_t frame);

// A width x height image of counts, row-major, every value in 0 .. ceiling: Debye-Scherrer rings of
// a cubic powder (textured a little, widening outward) on a smooth background with a diffuse halo,
// Poisson counting noise, the shadow of a round beam stop and its holder arm, and a few grains
// clipped at the ceiling. The beam is at the image's centre. The same settings give the same
// pixels; each pixel's noise depends only on the seed and its position.
std::vector<std::int32_t> synth_exposure(const SynthSettings &settings);

// The header values both formats describe through image_info, by its geometry index. A TRA header
// stores geometry 0 and 2 to 5 (rounded to single precision, geometry 1 is not stored); an X-Area
// header stores all nine, 6 to 8 as integers (rounded).
struct ExposureValues {
    std::array<double, 9> geometry{};
    std::int32_t setting = 0;            // X-Area only
    std::int32_t overflow_threshold = 0; // X-Area only: pixels above it are overflowed
    double scale_value = 1.0;            // X-Area only
};

// A TRA file of a 1200 x 1200 image: pixels inside a plate of kSynthPlateRadius, each clipped to
// 0 .. 65535 (65535 is the saturation mark), and a header with `values` and `text`.
std::vector<std::uint8_t> synth_tra_file(std::span<const std::int32_t> grid, const ExposureValues &values,
                                         const char *text = "plateio synthetic exposure");

// An X-Area file of a width x height image, plain or difference-coded. Its header carries `values`
// and, as overload_count, the number of pixels above values.overflow_threshold.
std::vector<std::uint8_t> synth_xarea_file(std::span<const std::int32_t> pixels, std::int32_t width,
                                           std::int32_t height, const ExposureValues &values,
                                           bool compressed);

} // namespace plateio::writers
