// The exported transforms: thin shims that read the host's point and write it back, y first for the
// correction and x first for its inverse.
#include <atomic>

#include "geometry/transforms.hpp"
#include "plateio.h"

using namespace plateio;

extern "C" {

PLATEIO_API void correct_cry(double *point, const geometry_params *params, double distance) {
    if (point == nullptr || params == nullptr) {
        return;
    }
    const geometry::Point corrected = geometry::correct({point[0], point[1]}, *params, distance);
    point[1] = corrected.y;
    // Keeps the compiler from merging or swapping the two stores: a host watching its memory (a
    // signal handler, a debugger watchpoint) sees y change before x.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    point[0] = corrected.x;
}

PLATEIO_API void anti_correct(double *point, const geometry_params *params, double distance) {
    if (point == nullptr || params == nullptr) {
        return;
    }
    const geometry::Point restored = geometry::inverse_correct({point[0], point[1]}, *params, distance);
    point[0] = restored.x;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    point[1] = restored.y;
}

PLATEIO_API PLATEIO_ALIGNED_ENTRY void plateio_correct_points(double *xy, size_t count,
                                                              const geometry_params *params, double distance,
                                                              int32_t inverse) {
    if (xy == nullptr || params == nullptr) {
        return;
    }
    geometry::transform_points(best_isa(), xy, count, *params, distance, inverse != 0);
}

} // extern "C"
