// The experiment's geometry as the user knows it. The exposure files carry header values whose
// physical meaning they do not state, so the wavelength, the distance, the pixel size, the beam
// centre and the rotation come from the command line or from a pyFAI calibration (.poni), and go
// into the output formats' own fields for them (NXmx, the CBF mini-header). What the user does not
// give is left out of every output, never invented.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plateio::cli {

struct UserGeometry {
    std::optional<double> wavelength; // angstrom
    std::optional<double> distance;   // millimetres, sample to detector plane along the beam
    std::optional<double> pixel_x;    // millimetres, along a row (fast)
    std::optional<double> pixel_y;    // millimetres, along a column (slow)
    std::optional<double> beam_x;     // pixels from the first pixel's outer corner, along a row
    std::optional<double> beam_y;     // pixels, along a column
    std::optional<double> start;      // degrees: the rotation angle at the start of frame 0
    std::optional<double> increment;  // degrees a frame turns

    bool any() const { return wavelength || distance || pixel_x || beam_x || start; }
    // The angle at the start of frame k.
    double angle(std::size_t k) const { return *start + static_cast<double>(k) * *increment; }
};

// Takes one geometry option ("--wavelength", "--distance", "--pixel-size", "--beam-center",
// "--oscillation", "--poni") with its value into `g`; false when `option` is none of them. A value
// that is not a positive finite number (a beam centre and a start angle: finite) is a UsageError;
// a .poni file that cannot be read is a FileError, one with a rotation a UsageError.
bool take_geometry_option(std::string_view option, const std::string &value, UserGeometry &g);

// The geometry as the mini-header lines of CBF files that crystallography programs read (without
// the leading "# "), for the exposure that is frame `frame` of a series: "Wavelength 0.7107 A",
// "Detector_distance 0.048 m", "Pixel_size 0.0001 m x 0.0001 m", "Beam_xy (600, 600) pixels",
// "Start_angle 10 deg.", "Angle_increment 0.5 deg.", each only when given.
std::vector<std::string> cbf_geometry_lines(const UserGeometry &g, std::size_t frame);

// A pyFAI calibration file's geometry: Distance, Poni1/Poni2, the pixel sizes (Detector_config's
// pixel1/pixel2, or PixelSize1/PixelSize2 of version 1) and Wavelength, converted to the units
// above. Rotations other than zero cannot be written into the formats' plain fields and are refused.
UserGeometry read_poni(const std::string &path);

} // namespace plateio::cli
