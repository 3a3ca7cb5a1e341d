#include "geometry/transforms.hpp"

#include <cmath>

#include "host/host_routines.hpp"

namespace plateio::geometry {

namespace {

// The correction's perspective stage divides by the shifted coordinate. Below the smallest normal
// double (zero, subnormal, or NaN, which fails every comparison) the coordinate is taken as 0, which
// is where the projection tends as the coordinate goes to 0 for any tilt whose cosine is not 0.
constexpr double kSmallestNormal = 0x1p-1022;

// The inverse divides by its input coordinates themselves; an input this small or smaller is taken
// as 0 and only the offset remains. NaN is not caught here: it runs through the formula.
constexpr double kInverseGuard = 1e-20;

struct Turn {
    double sine;
    double cosine;
};

// The sines and cosines the stages need, asked of the routines each time a stage needs them, in the
// order the stages ask: the sine of a rotation before its cosine, the cosine of a tilt before its sine.
class AskEachTime {
  public:
    explicit AskEachTime(const geometry_params &params) noexcept : params_(params) {}
    Turn rotation() noexcept { return sine_then_cosine(params_.rotation); }
    Turn unrotation() noexcept { return sine_then_cosine(-params_.rotation); }
    Turn tilt_x() noexcept { return cosine_then_sine(-params_.tilt_x); } // the x tilt turns the other way
    Turn tilt_y() noexcept { return cosine_then_sine(params_.tilt_y); }

  private:
    static Turn sine_then_cosine(double degrees) noexcept {
        const double sine = host::call_sind(degrees);
        const double cosine = host::call_cosd(degrees);
        return {sine, cosine};
    }
    static Turn cosine_then_sine(double degrees) noexcept {
        const double cosine = host::call_cosd(degrees);
        const double sine = host::call_sind(degrees);
        return {sine, cosine};
    }
    const geometry_params &params_;
};

// The same values, each asked once, when a stage first needs it, and kept for the points that follow.
class AskOnce {
  public:
    explicit AskOnce(const geometry_params &params) noexcept : ask_(params) {}
    Turn rotation() noexcept { return kept(rotation_, &AskEachTime::rotation); }
    Turn unrotation() noexcept { return kept(unrotation_, &AskEachTime::unrotation); }
    Turn tilt_x() noexcept { return kept(tilt_x_, &AskEachTime::tilt_x); }
    Turn tilt_y() noexcept { return kept(tilt_y_, &AskEachTime::tilt_y); }

  private:
    struct Slot {
        Turn value{0.0, 0.0};
        bool asked = false;
    };
    Turn kept(Slot &slot, Turn (AskEachTime::*ask)()) noexcept {
        if (!slot.asked) {
            slot.value = (ask_.*ask)();
            slot.asked = true;
        }
        return slot.value;
    }
    AskEachTime ask_;
    Slot rotation_, unrotation_, tilt_x_, tilt_y_;
};

template <class Trig>
Point correct_with(Point point, const geometry_params &params, double distance, Trig &trig) noexcept {
    // Stage 1: turn the plate's axes by `rotation`.
    const Turn rotation = trig.rotation();
    const double u = point.x * rotation.cosine - point.y * rotation.sine;
    const double v = point.x * rotation.sine + point.y * rotation.cosine;

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
        const Turn tilt = trig.tilt_x();
        x = tilt.cosine / (stretch / shifted_x - tilt.sine / height);
    }
    double y = 0.0;
    if (std::fabs(shifted_y) >= kSmallestNormal) {
        const Turn tilt = trig.tilt_y();
        y = tilt.cosine / (stretch / shifted_y - tilt.sine / height);
    }
    return {x, y};
}

// Each stage is the inverse of the correction's, except two factors kept simple on purpose: the
// perspective scale multiplies by (distance + distance_offset) / distance instead of dividing by
// distance / (distance - distance_offset), and the radial factor is taken from the radius of the
// input point rather than of the point before the offsets and the perspective stage. With a
// distance_offset of 0, and a radial_shift of 0 or no offsets and tilts, the inverse is exact.
template <class Trig>
Point inverse_correct_with(Point point, const geometry_params &params, double distance, Trig &trig) noexcept {
    const double scale = (distance + params.distance_offset) * (1.0 / distance);
    const double radius = std::sqrt(point.x * point.x + point.y * point.y);
    const double radial = 1.0 - params.radial_shift / radius;

    // Undo the perspective stages and the offsets; the radial factor goes with them.
    double unshifted_x = 0.0;
    if (std::fabs(point.x) < kInverseGuard) {
        unshifted_x = params.offset_x * radial;
    } else {
        const Turn tilt = trig.tilt_x();
        unshifted_x = (scale / (tilt.cosine / point.x + tilt.sine / distance) + params.offset_x) * radial;
    }
    double unshifted_y = 0.0;
    if (std::fabs(point.y) < kInverseGuard) {
        unshifted_y = params.offset_y * radial;
    } else {
        const Turn tilt = trig.tilt_y();
        unshifted_y = (scale / (tilt.cosine / point.y + tilt.sine / distance) + params.offset_y) * radial;
    }

    // Undo the twist, at the radius the point has once the radial factor is undone.
    const double unshifted_radius = std::sqrt(unshifted_x * unshifted_x + unshifted_y * unshifted_y);
    const double twist = params.tangential_shift / unshifted_radius;
    const double twist_cos = std::cos(twist);
    const double twist_sin = std::sin(twist);
    const double u = unshifted_x * twist_cos + unshifted_y * twist_sin;
    const double v = unshifted_y * twist_cos - unshifted_x * twist_sin;

    // Undo the rotation.
    const Turn rotation = trig.unrotation();
    return {u * rotation.cosine - v * rotation.sine, u * rotation.sine + v * rotation.cosine};
}

} // namespace

Point correct(Point point, const geometry_params &params, double distance) noexcept {
    AskEachTime trig(params);
    return correct_with(point, params, distance, trig);
}

Point inverse_correct(Point point, const geometry_params &params, double distance) noexcept {
    AskEachTime trig(params);
    return inverse_correct_with(point, params, distance, trig);
}

void transform_points(double *xy, std::size_t count, const geometry_params &params, double distance,
                      bool inverse) noexcept {
    AskOnce trig(params);
    for (std::size_t i = 0; i < count; ++i) {
        double *point = xy + 2 * i;
        const Point result = inverse ? inverse_correct_with({point[0], point[1]}, params, distance, trig)
                                     : correct_with({point[0], point[1]}, params, distance, trig);
        point[0] = result.x;
        point[1] = result.y;
    }
}

} // namespace plateio::geometry
