// The detector geometry correction and its inverse, one point at a time.
//
// The correction takes a position as read off the plate to the position it stands for, through four
// stages: a rotation about the origin, a radial shift with a twist (a turn by an arc of fixed
// length), a shift of the origin, and for each coordinate a perspective stage that scales it and
// projects it centrally from a point at the given distance off a tilted line onto the untilted one.
// The inverse undoes the stages in reverse order. It is exact where the stages commute with their
// inverses; two of its factors are deliberately simpler than the exact inverse (see inverse_correct).
#pragma once

#include "plateio.h"

namespace plateio::geometry {

struct Point {
    double x;
    double y;
};

// Both call the sine and cosine routines (the host's, or the defaults) exactly as each stage needs
// them and never more often; see the definitions for the angles and their order.
Point correct(Point point, const geometry_params &params, double distance) noexcept;
Point inverse_correct(Point point, const geometry_params &params, double distance) noexcept;

} // namespace plateio::geometry
