#include "host/host_routines.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace plateio::host {

namespace {

// pi / 180 split into a double and the part the double misses, so that turning a reduced angle into
// radians loses no more than the final rounding.
constexpr double kRadiansPerDegree = 0.017453292519943295;
constexpr double kRadiansPerDegreeTail = 2.9486522708701687e-19;

// An angle as a number of quarter turns (0 to 3) and a remainder of at most 45 degrees, in radians.
struct Quarter {
    int quadrant;
    double sine;
    double cosine;
};

// Requires a finite angle. fmod is exact, so the remainder keeps every bit of the angle whatever its
// size; subtracting the nearest multiple of 90 is exact too (a remainder of 45 degrees or more has
// an ulp of at least 2^-47, of which 90 is a multiple, and the difference stays below 64). Only the
// last step, into radians, rounds, and it rounds a value of at most pi / 4.
Quarter reduce(double degrees) noexcept {
    const double turn = std::fmod(degrees, 360.0);
    const double quarters = std::round(turn / 90.0);
    const double rest = turn - 90.0 * quarters;
    const double radians = rest * kRadiansPerDegree + rest * kRadiansPerDegreeTail;
    const int quadrant = (static_cast<int>(quarters) % 4 + 4) % 4;
    return {quadrant, std::sin(radians), std::cos(radians)};
}

} // namespace

double default_sind(double degrees) noexcept {
    if (!std::isfinite(degrees)) {
        return degrees - degrees;
    }
    const Quarter q = reduce(degrees);
    const double values[4] = {q.sine, q.cosine, -q.sine, -q.cosine};
    const double sine = values[q.quadrant];
    // The sine is odd: at a multiple of 180 the zero takes the angle's sign.
    return sine == 0.0 ? std::copysign(0.0, degrees) : sine;
}

double default_cosd(double degrees) noexcept {
    if (!std::isfinite(degrees)) {
        return degrees - degrees;
    }
    const Quarter q = reduce(degrees);
    const double values[4] = {q.cosine, -q.sine, -q.cosine, q.sine};
    const double cosine = values[q.quadrant];
    // The cosine is even: its zeros are +0 whichever side they are approached from.
    return cosine == 0.0 ? 0.0 : cosine;
}

void default_binning(std::int32_t **grid, std::int32_t factor, std::int32_t *width, std::int32_t *height,
                     std::int32_t limit) noexcept {
    if (grid == nullptr || *grid == nullptr || width == nullptr || height == nullptr || factor < 1 ||
        *width < 0 || *height < 0) {
        return;
    }
    const auto f = static_cast<std::size_t>(factor);
    const auto columns = static_cast<std::size_t>(*width);
    const std::size_t binned_columns = columns / f;
    const std::size_t binned_rows = static_cast<std::size_t>(*height) / f;
    std::int32_t *pixels = *grid;
    // In place: block k (row-major) is written to element k, and every pixel that block k or a later
    // block reads lies at element k or beyond, so nothing is overwritten before it is read.
    for (std::size_t block_row = 0; block_row < binned_rows; ++block_row) {
        for (std::size_t block_column = 0; block_column < binned_columns; ++block_column) {
            const std::int32_t *corner = pixels + block_row * f * columns + block_column * f;
            std::int64_t sum = 0;
            bool overflowed = false;
            for (std::size_t j = 0; j < f; ++j) {
                for (std::size_t i = 0; i < f; ++i) {
                    const std::int32_t value = corner[j * columns + i];
                    overflowed = overflowed || value == PIXEL_OVERFLOW;
                    sum += value;
                }
            }
            std::int32_t binned = PIXEL_OVERFLOW;
            if (!overflowed) {
                binned = sum > limit ? limit
                         : sum < std::numeric_limits<std::int32_t>::min()
                             ? std::numeric_limits<std::int32_t>::min()
                             : static_cast<std::int32_t>(sum);
            }
            pixels[block_row * binned_columns + block_column] = binned;
        }
    }
    *width = static_cast<std::int32_t>(binned_columns);
    *height = static_cast<std::int32_t>(binned_rows);
}

} // namespace plateio::host
