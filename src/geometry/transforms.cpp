#include "geometry/transforms.hpp"

#include <cmath>

#include "geometry/host_routines.hpp"

namespace plateio::geometry {

namespace {

// The correction's perspective stage divides by the shifted coordinate. Below the smallest normal
// double (zero, subnormal, or NaN, which fails every comparison) the coordinate is taken as 0, which
// is where the projection tends as the coordinate goes to 0 for any tilt whose cosine is not 0.
constexpr double kSmallestNormal = 0x1p-1022;

// The inverse divides by its input coordinates themselves; an input this small or smaller is taken
// as 0 and only the offset remains. NaN is not caught here: it runs through the formula.
constexpr double kInverseGuard = 1e-20;

} // namespace

Point correct(Point point, const geometry_params &params, double distance) noexcept {
    // Stage 1: turn the plate's axes by `rotation`.
    const double sine = call_sind(params.rotation);
    const double cosine = call_cosd(params.rotation);
    const double u = point.x * cosine - point.y * sine;
    const double v = point.x * sine + point.y * cosine;

    // Stage 2: the radius grows by radial_shift and the point moves along its circle by an arc of
    // tangential_shift, both taken at the radius before the shift. At the origin both are undefined
    // and the NaN they give is caught by the guards of stage 4.
    const double radius = std::sqrt(u * u + v * v);
    const double scale = 1.0 + params.radial_shift / radius;
    const double twist = params.tangential_shift / radius;
    const double twist_cos = std::cos(twist);
    const double twist_sin = std::sin(twist);

    // Stage 3: move the origin.
    const double shifted_x = scale * (u * twist_cos - v * twist_sin) - params.offset_x;
    const double shifted_y = scale * (u * twist_sin + v * twist_cos) - params.offset_y;

    // Stage 4: with q = shifted / t and an odd sine, x' = q cos(a) / (1 + q sin(a) / h), the central
    // projection from a centre at height h of the point at q on a line tilted by a = tilt_x; the y
    // stage tilts the other way. h is the distance again, as e + distance_offset rounds it.
    const double reduced = distance - params.distance_offset;
    const double height = reduced + params.distance_offset;
    const double stretch = height / reduced;

    double x = 0.0;
    if (std::fabs(shifted_x) >= kSmallestNormal) {
        const double tilt_cos = call_cosd(-params.tilt_x);
        const double tilt_sin = call_sind(-params.tilt_x);
        x = tilt_cos / (stretch / shifted_x - tilt_sin / height);
    }
    double y = 0.0;
    if (std::fabs(shifted_y) >= kSmallestNormal) {
        const double tilt_cos = call_cosd(params.tilt_y);
        const double tilt_sin = call_sind(params.tilt_y);
        y = tilt_cos / (stretch / shifted_y - tilt_sin / height);
    }
    return {x, y};
}

// Each stage is the inverse of the correction's, except two factors kept simple on purpose: the
// perspective scale multiplies by (distance + distance_offset) / distance instead of dividing by
// distance / (distance - distance_offset), and the radial factor is taken from the radius of the
// input point rather than of the point before the offsets and the perspective stage. With a
// distance_offset of 0, and a radial_shift of 0 or no offsets and tilts, the inverse is exact.
Point inverse_correct(Point point, const geometry_params &params, double distance) noexcept {
    const double scale = (distance + params.distance_offset) * (1.0 / distance);
    const double radius = std::sqrt(point.x * point.x + point.y * point.y);
    const double radial = 1.0 - params.radial_shift / radius;

    // Undo the perspective stages and the offsets; the radial factor goes with them.
    double unshifted_x = 0.0;
    if (std::fabs(point.x) < kInverseGuard) {
        unshifted_x = params.offset_x * radial;
    } else {
        const double tilt_cos = call_cosd(-params.tilt_x);
        const double tilt_sin = call_sind(-params.tilt_x);
        unshifted_x = (scale / (tilt_cos / point.x + tilt_sin / distance) + params.offset_x) * radial;
    }
    double unshifted_y = 0.0;
    if (std::fabs(point.y) < kInverseGuard) {
        unshifted_y = params.offset_y * radial;
    } else {
        const double tilt_cos = call_cosd(params.tilt_y);
        const double tilt_sin = call_sind(params.tilt_y);
        unshifted_y = (scale / (tilt_cos / point.y + tilt_sin / distance) + params.offset_y) * radial;
    }

    // Undo the twist, at the radius the point has once the radial factor is undone.
    const double unshifted_radius = std::sqrt(unshifted_x * unshifted_x + unshifted_y * unshifted_y);
    const double twist = params.tangential_shift / unshifted_radius;
    const double twist_cos = std::cos(twist);
    const double twist_sin = std::sin(twist);
    const double u = unshifted_x * twist_cos + unshifted_y * twist_sin;
    const double v = unshifted_y * twist_cos - unshifted_x * twist_sin;

    // Undo the rotation.
    const double sine = call_sind(-params.rotation);
    const double cosine = call_cosd(-params.rotation);
    return {u * cosine - v * sine, u * sine + v * cosine};
}

} // namespace plateio::geometry
