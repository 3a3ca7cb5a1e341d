// The detector geometry correction and its inverse.
//
// The correction takes a position as read off the plate to the position it stands for, through four
// stages: a rotation about the origin, a radial shift with a twist (a turn by an arc of fixed
// length), a shift of the origin, and for each coordinate a perspective stage that scales it and
// projects it centrally from a point at the given distance off a tilted line onto the untilted one.
// The inverse undoes the stages in reverse order. It is exact where the stages commute with their
// inverses; two of its factors are deliberately simpler than the exact inverse (see inverse_correct).
#pragma once

#include <cstddef>

#include "common/isa.hpp"
#include "plateio.h"

namespace plateio::geometry {

struct Point {
    double x;
    double y;
};

// One point at a time. Both call the sine and cosine routines (the host's, or the built-ins) exactly
// as each stage needs them and never more often; see the definitions for the angles and their order.
Point correct(Point point, const geometry_params &params, double distance) noexcept;
Point inverse_correct(Point point, const geometry_params &params, double distance) noexcept;

// Many points, interleaved (x, y) in place: bit for bit the point-at-a-time results, each distinct
// sine or cosine asked of the routines once for the whole call.
// The arithmetic of a batch is vectorised; every instruction set gives the same bits.
void transform_points(Isa isa, double *xy, std::size_t count, const geometry_params &params, double distance,
                      bool inverse) noexcept;

} // namespace plateio::geometry
