#include "geometry/transforms.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "common/isa.hpp"
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

// The formulas of the stages, one function each, shared by the point-at-a-time transforms and the
// batch: the same operations in the same order give the same bits either way.

struct Plane {
    double x;
    double y;
};

// Stage 1 of the correction, and the last stage of the inverse: a turn of the axes.
inline Plane turn(double x, double y, Turn by) noexcept {
    return {x * by.cosine - y * by.sine, x * by.sine + y * by.cosine};
}

// Stage 2: the radial factor and the twist angle, both taken at the radius before the shift.
struct Radial {
    double scale;
    double twist;
};

inline Radial radial(Plane p, const geometry_params &params) noexcept {
    const double radius = std::sqrt(p.x * p.x + p.y * p.y);
    return {1.0 + params.radial_shift / radius, params.tangential_shift / radius};
}

// Stage 3: the radial shift with the twist, and the shift of the origin.
inline Plane shifted(Plane p, Radial r, double twist_cos, double twist_sin,
                     const geometry_params &params) noexcept {
    return {r.scale * (p.x * twist_cos - p.y * twist_sin) - params.offset_x,
            r.scale * (p.x * twist_sin + p.y * twist_cos) - params.offset_y};
}

// Stage 4 for one coordinate: with q = shifted / t and an odd sine, x' = q cos(a) / (1 + q sin(a) / h),
// the central projection from a centre at height h of the point at q on a line tilted by a.
struct Perspective {
    double height;  // the distance again, as e + distance_offset rounds it
    double stretch; // t = h / e
};

inline Perspective perspective(const geometry_params &params, double distance) noexcept {
    const double reduced = distance - params.distance_offset;
    const double height = reduced + params.distance_offset;
    return {height, height / reduced};
}

inline bool projects(double shifted) noexcept {
    return std::fabs(shifted) >= kSmallestNormal;
}

// A tilt as the perspective formula uses it: its cosine, and its sine over the height of the centre.
struct Lens {
    double cosine;
    double lean;
};

inline Lens lens(Turn tilt, double height) noexcept {
    return {tilt.cosine, tilt.sine / height};
}

inline double project(double shifted, Lens lens, Perspective p) noexcept {
    return lens.cosine / (p.stretch / shifted - lens.lean);
}

// The inverse's perspective stage and offset for one coordinate, with the radial factor; its lens
// leans over the distance itself.
inline double unproject(double coordinate, Lens lens, double offset, double scale, double radial) noexcept {
    return (scale / (lens.cosine / coordinate + lens.lean) + offset) * radial;
}

inline bool unprojects(double coordinate) noexcept {
    return !(std::fabs(coordinate) < kInverseGuard);
}

inline double inverse_scale(const geometry_params &params, double distance) noexcept {
    return (distance + params.distance_offset) * (1.0 / distance);
}

inline double inverse_radial(double x, double y, const geometry_params &params) noexcept {
    const double radius = std::sqrt(x * x + y * y);
    return 1.0 - params.radial_shift / radius;
}

// The inverse twist: the turn back by tangential_shift / r, r the radius once the radial factor is undone.
inline double inverse_twist(Plane p, const geometry_params &params) noexcept {
    const double radius = std::sqrt(p.x * p.x + p.y * p.y);
    return params.tangential_shift / radius;
}

inline Plane untwisted(Plane p, double twist_cos, double twist_sin) noexcept {
    return {p.x * twist_cos + p.y * twist_sin, p.y * twist_cos - p.x * twist_sin};
}

template <class Trig>
Point correct_with(Point point, const geometry_params &params, double distance, Trig &trig) noexcept {
    const Plane u = turn(point.x, point.y, trig.rotation());
    // At the origin the radial factor and the twist are undefined; the NaN they give is caught by the
    // guards of stage 4.
    const Radial r = radial(u, params);
    const double twist_cos = std::cos(r.twist);
    const double twist_sin = std::sin(r.twist);
    const Plane s = shifted(u, r, twist_cos, twist_sin, params);
    const Perspective p = perspective(params, distance);
    // The y stage tilts the other way (see AskEachTime::tilt_x).
    const double x = projects(s.x) ? project(s.x, lens(trig.tilt_x(), p.height), p) : 0.0;
    const double y = projects(s.y) ? project(s.y, lens(trig.tilt_y(), p.height), p) : 0.0;
    return {x, y};
}

// Each stage is the inverse of the correction's, except two factors kept simple on purpose: the
// perspective scale multiplies by (distance + distance_offset) / distance instead of dividing by
// distance / (distance - distance_offset), and the radial factor is taken from the radius of the
// input point rather than of the point before the offsets and the perspective stage. With a
// distance_offset of 0, and a radial_shift of 0 or no offsets and tilts, the inverse is exact.
template <class Trig>
Point inverse_correct_with(Point point, const geometry_params &params, double distance, Trig &trig) noexcept {
    const double scale = inverse_scale(params, distance);
    const double radial = inverse_radial(point.x, point.y, params);
    // Undo the perspective stages and the offsets; the radial factor goes with them.
    const Plane u{unprojects(point.x)
                      ? unproject(point.x, lens(trig.tilt_x(), distance), params.offset_x, scale, radial)
                      : params.offset_x * radial,
                  unprojects(point.y)
                      ? unproject(point.y, lens(trig.tilt_y(), distance), params.offset_y, scale, radial)
                      : params.offset_y * radial};
    const double twist = inverse_twist(u, params);
    const Plane v = untwisted(u, std::cos(twist), std::sin(twist));
    const Plane back = turn(v.x, v.y, trig.unrotation());
    return {back.x, back.y};
}

// ---- The batch --------------------------------------------------------------------------------------

// The sines and cosines of a batch, each asked once, in the order in which the point-at-a-time
// transforms would first ask for them: by point, and within a point by stage.
class AskOnce {
  public:
    enum Value { rotation, unrotation, tilt_x, tilt_y, kValues };

    explicit AskOnce(const geometry_params &params) noexcept : ask_(params) {}

    // Asks for the values whose first need is given (point index within the block, stage order), in that
    // order; values already asked, or not needed (index SIZE_MAX), are skipped.
    struct Need {
        Value value;
        std::size_t point;
        int stage;
    };
    template <std::size_t N> void ask_in_order(std::array<Need, N> needs) noexcept {
        std::sort(needs.begin(), needs.end(), [](const Need &a, const Need &b) {
            return a.point != b.point ? a.point < b.point : a.stage < b.stage;
        });
        for (const Need &need : needs) {
            if (need.point != kNone && !asked_[need.value]) {
                values_[need.value] = need.value == rotation     ? ask_.rotation()
                                      : need.value == unrotation ? ask_.unrotation()
                                      : need.value == tilt_x     ? ask_.tilt_x()
                                                                 : ask_.tilt_y();
                asked_[need.value] = true;
            }
        }
    }

    Turn operator[](Value value) const noexcept { return values_[value]; }

    static constexpr std::size_t kNone = SIZE_MAX;

  private:
    AskEachTime ask_;
    std::array<Turn, kValues> values_{};
    std::array<bool, kValues> asked_{};
};

// Points are transformed a block at a time, stage by stage over the block: the independent sines,
// cosines and divisions of many points overlap in the processor, and the loops of plain arithmetic
// are left to the compiler to vectorise. The block's arrays stay in the first-level cache.
constexpr std::size_t kBlock = 256;

// The first of the block's points whose `coordinate` passes `needs`, or none.
template <class Needs>
std::size_t first_needing(const std::array<double, kBlock> &coordinate, std::size_t n, Needs needs) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        if (needs(coordinate[i])) {
            return i;
        }
    }
    return AskOnce::kNone;
}

[[gnu::always_inline]] inline void correct_block(double *xy, std::size_t n, const geometry_params &params,
                                                 Perspective perspective, AskOnce &trig) noexcept {
    // One array a quantity and no branches in the loops of plain arithmetic, so that they vectorise;
    // the guarded formulas are worked out for every point and the guard chooses.
    std::array<double, kBlock> x, y, scale, twist, twist_cos, twist_sin;
    trig.ask_in_order(std::array{AskOnce::Need{AskOnce::rotation, 0, 0}});
    const Turn rotation = trig[AskOnce::rotation];
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = xy[2 * i];
        y[i] = xy[2 * i + 1];
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Plane u = turn(x[i], y[i], rotation);
        const Radial r = radial(u, params);
        x[i] = u.x;
        y[i] = u.y;
        scale[i] = r.scale;
        twist[i] = r.twist;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double angle = twist[i];
        twist_cos[i] = std::cos(angle);
        twist_sin[i] = std::sin(angle);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Plane s = shifted({x[i], y[i]}, {scale[i], twist[i]}, twist_cos[i], twist_sin[i], params);
        x[i] = s.x;
        y[i] = s.y;
    }
    trig.ask_in_order(std::array{AskOnce::Need{AskOnce::tilt_x, first_needing(x, n, projects), 1},
                                 AskOnce::Need{AskOnce::tilt_y, first_needing(y, n, projects), 2}});
    const Lens lens_x = lens(trig[AskOnce::tilt_x], perspective.height);
    const Lens lens_y = lens(trig[AskOnce::tilt_y], perspective.height);
    for (std::size_t i = 0; i < n; ++i) {
        const double sx = x[i];
        const double sy = y[i];
        x[i] = projects(sx) ? project(sx, lens_x, perspective) : 0.0;
        y[i] = projects(sy) ? project(sy, lens_y, perspective) : 0.0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        xy[2 * i] = x[i];
        xy[2 * i + 1] = y[i];
    }
}

[[gnu::always_inline]] inline void inverse_block(double *xy, std::size_t n, const geometry_params &params,
                                                 double distance, AskOnce &trig) noexcept {
    std::array<double, kBlock> x, y, twist, twist_cos, twist_sin;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = xy[2 * i];
        y[i] = xy[2 * i + 1];
    }
    // A point asks for its tilts and then, at its end, for the turn back.
    trig.ask_in_order(std::array{AskOnce::Need{AskOnce::tilt_x, first_needing(x, n, unprojects), 0},
                                 AskOnce::Need{AskOnce::tilt_y, first_needing(y, n, unprojects), 1},
                                 AskOnce::Need{AskOnce::unrotation, 0, 2}});
    const Lens lens_x = lens(trig[AskOnce::tilt_x], distance);
    const Lens lens_y = lens(trig[AskOnce::tilt_y], distance);
    const double scale = inverse_scale(params, distance);
    for (std::size_t i = 0; i < n; ++i) {
        const double px = x[i];
        const double py = y[i];
        const double radial = inverse_radial(px, py, params);
        const double ux =
            unprojects(px) ? unproject(px, lens_x, params.offset_x, scale, radial) : params.offset_x * radial;
        const double uy =
            unprojects(py) ? unproject(py, lens_y, params.offset_y, scale, radial) : params.offset_y * radial;
        x[i] = ux;
        y[i] = uy;
        twist[i] = inverse_twist({ux, uy}, params);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double angle = twist[i];
        twist_cos[i] = std::cos(angle);
        twist_sin[i] = std::sin(angle);
    }
    const Turn unrotation = trig[AskOnce::unrotation];
    for (std::size_t i = 0; i < n; ++i) {
        const Plane v = untwisted({x[i], y[i]}, twist_cos[i], twist_sin[i]);
        const Plane back = turn(v.x, v.y, unrotation);
        xy[2 * i] = back.x;
        xy[2 * i + 1] = back.y;
    }
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

namespace {

// A batch in blocks, with the block's loops compiled for the instruction set of the caller (they are
// inlined into each version below).
[[gnu::always_inline]] inline void transform_blocks(double *xy, std::size_t count,
                                                    const geometry_params &params, double distance,
                                                    bool inverse) noexcept {
    // A copy the points cannot alias, so that what depends on the parameters alone is worked out once.
    const geometry_params own = params;
    AskOnce trig(own);
    for (std::size_t done = 0; done < count; done += kBlock) {
        const std::size_t n = std::min(kBlock, count - done);
        if (inverse) {
            inverse_block(xy + 2 * done, n, own, distance, trig);
        } else {
            correct_block(xy + 2 * done, n, own, perspective(own, distance), trig);
        }
    }
}

void transform_points_portable(double *xy, std::size_t count, const geometry_params &params, double distance,
                               bool inverse) noexcept {
    transform_blocks(xy, count, params, distance, inverse);
}

// On 32-bit x86 the point-at-a-time transforms compute on the x87 stack, whose rounding vector lanes
// would not repeat: there the batch has its portable version only.
#if PLATEIO_HAVE_AVX2 && !defined(__i386__)
#define PLATEIO_BATCH_AVX2 1
#else
#define PLATEIO_BATCH_AVX2 0
#endif

#if PLATEIO_BATCH_AVX2
// Four points a vector; no fused multiply-add (the target does not enable it), so the same bits.
PLATEIO_TARGET_AVX2 void transform_points_avx2(double *xy, std::size_t count, const geometry_params &params,
                                               double distance, bool inverse) noexcept {
    transform_blocks(xy, count, params, distance, inverse);
}
#endif

} // namespace

void transform_points(Isa isa, double *xy, std::size_t count, const geometry_params &params, double distance,
                      bool inverse) noexcept {
    switch (isa) {
#if PLATEIO_BATCH_AVX2
    case Isa::avx2:
        return transform_points_avx2(xy, count, params, distance, inverse);
#endif
    default:
        return transform_points_portable(xy, count, params, distance, inverse);
    }
}

} // namespace plateio::geometry
