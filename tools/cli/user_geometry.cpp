#include "user_geometry.hpp"

#include <cmath>
#include <fstream>
#include <sstream>
#include <utility>

#include "args.hpp"
#include "errors.hpp"

namespace plateio::cli {

namespace {

double positive(std::string_view text, const std::string &what) {
    const double v = parse_real(text, what);
    if (!std::isfinite(v) || v <= 0.0) {
        throw UsageError(what + " must be a positive finite number, not '" + std::string(text) + "'");
    }
    return v;
}

double finite(std::string_view text, const std::string &what) {
    const double v = parse_real(text, what);
    if (!std::isfinite(v)) {
        throw UsageError(what + " must be a finite number, not '" + std::string(text) + "'");
    }
    return v;
}

std::pair<std::string_view, std::string_view> pair_of(std::string_view text, const std::string &what,
                                                      bool optional_second) {
    const auto comma = text.find(',');
    if (comma == std::string_view::npos) {
        if (optional_second) {
            return {text, text};
        }
        throw UsageError(what + " takes two numbers separated by a comma, not '" + std::string(text) + "'");
    }
    return {text.substr(0, comma), text.substr(comma + 1)};
}

std::string trimmed(const std::string &text) {
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// A number that follows `"key":` in the one-line JSON object of Detector_config.
std::optional<double> json_number(const std::string &object, const std::string &key) {
    const auto at = object.find("\"" + key + "\"");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const auto colon = object.find(':', at);
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto end = object.find_first_of(",}", colon);
    return to_real(trimmed(object.substr(colon + 1, end - colon - 1)));
}

} // namespace

UserGeometry read_poni(const std::string &path) {
    std::ifstream in(path);
    if (!in) {
        throw FileError(path, "cannot read the calibration file");
    }
    UserGeometry g;
    std::optional<double> poni1;
    std::optional<double> poni2;
    const auto metres = [&](const std::string &key, const std::string &value) {
        const auto v = to_real(value);
        if (!v || !std::isfinite(*v)) {
            throw FileError(path, key + " is not a finite number: '" + value + "'");
        }
        return *v;
    };
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos) {
            continue;
        }
        std::string key = trimmed(line.substr(0, colon));
        const std::string value = trimmed(line.substr(colon + 1));
        for (char &c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (key == "distance") {
            g.distance = metres(key, value) * 1e3;
        } else if (key == "poni1") {
            poni1 = metres(key, value);
        } else if (key == "poni2") {
            poni2 = metres(key, value);
        } else if (key == "wavelength") {
            g.wavelength = metres(key, value) * 1e10;
        } else if (key == "pixelsize1") {
            g.pixel_y = metres(key, value) * 1e3;
        } else if (key == "pixelsize2") {
            g.pixel_x = metres(key, value) * 1e3;
        } else if (key == "detector_config") {
            if (const auto p = json_number(value, "pixel1")) {
                g.pixel_y = *p * 1e3;
            }
            if (const auto p = json_number(value, "pixel2")) {
                g.pixel_x = *p * 1e3;
            }
        } else if (key == "rot1" || key == "rot2" || key == "rot3") {
            if (metres(key, value) != 0.0) {
                throw UsageError(path + ": " + trimmed(line.substr(0, colon)) + " is " + value +
                                 " rad; a tilted or rotated detector cannot be written into the formats' "
                                 "distance and beam centre, so only calibrations without rotation are taken");
            }
        }
    }
    if (!in.eof()) {
        throw FileError(path, "cannot read the calibration file");
    }
    for (const auto &[value, name] : {std::pair{g.distance, "Distance"}, std::pair{g.pixel_x, "pixel2"},
                                      std::pair{g.pixel_y, "pixel1"}}) {
        if (!value || !(*value > 0.0)) {
            throw FileError(path, std::string("no positive ") + name + " in the calibration");
        }
    }
    if (g.wavelength && !(*g.wavelength > 0.0)) {
        throw FileError(path, "the wavelength must be positive");
    }
    if (poni1 && poni2) {
        g.beam_x = *poni2 * 1e3 / *g.pixel_x;
        g.beam_y = *poni1 * 1e3 / *g.pixel_y;
    }
    return g;
}

std::vector<std::string> cbf_geometry_lines(const UserGeometry &g, std::size_t frame) {
    std::vector<std::string> lines;
    if (g.wavelength) {
        lines.push_back("Wavelength " + format_real(*g.wavelength) + " A");
    }
    if (g.distance) {
        lines.push_back("Detector_distance " + format_real(*g.distance * 1e-3) + " m");
    }
    if (g.pixel_x) {
        lines.push_back("Pixel_size " + format_real(*g.pixel_x * 1e-3) + " m x " +
                        format_real(*g.pixel_y * 1e-3) + " m");
    }
    if (g.beam_x) {
        lines.push_back("Beam_xy (" + format_real(*g.beam_x) + ", " + format_real(*g.beam_y) + ") pixels");
    }
    if (g.start) {
        lines.push_back("Start_angle " + format_real(g.angle(frame)) + " deg.");
        lines.push_back("Angle_increment " + format_real(*g.increment) + " deg.");
    }
    return lines;
}

bool take_geometry_option(std::string_view option, const std::string &value, UserGeometry &g) {
    if (option == "--wavelength") {
        g.wavelength = positive(value, "--wavelength");
    } else if (option == "--distance") {
        g.distance = positive(value, "--distance");
    } else if (option == "--pixel-size") {
        const auto [x, y] = pair_of(value, "--pixel-size", true);
        g.pixel_x = positive(x, "--pixel-size");
        g.pixel_y = positive(y, "--pixel-size");
    } else if (option == "--beam-center") {
        const auto [x, y] = pair_of(value, "--beam-center", false);
        g.beam_x = finite(x, "--beam-center");
        g.beam_y = finite(y, "--beam-center");
    } else if (option == "--oscillation") {
        const auto [start, width] = pair_of(value, "--oscillation", false);
        g.start = finite(start, "the start of --oscillation");
        g.increment = positive(width, "the width of --oscillation");
    } else if (option == "--poni") {
        const UserGeometry poni = read_poni(value);
        g.wavelength = poni.wavelength ? poni.wavelength : g.wavelength;
        g.distance = poni.distance;
        g.pixel_x = poni.pixel_x;
        g.pixel_y = poni.pixel_y;
        g.beam_x = poni.beam_x ? poni.beam_x : g.beam_x;
        g.beam_y = poni.beam_y ? poni.beam_y : g.beam_y;
    } else {
        return false;
    }
    return true;
}

} // namespace plateio::cli
