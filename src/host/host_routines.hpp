// The three routines a host program may supply (sind, cosd, binning) and the library's own
// defaults for a host that supplies none.
//
// The library refers to the host's routines weakly. A host that exports them (an executable linked
// with -rdynamic, or a library loaded earlier with RTLD_GLOBAL) binds the references at load time
// and has its own routines called; a host that supplies none, such as a scripting language loading
// the library with RTLD_NOW, still loads it, because an unresolved weak reference is simply null,
// and the calls below then go to the built-in defaults. The defaults have their own names and hidden
// visibility, so they can never stand in for a host's routine in another module.
#pragma once

#include <cstdint>

#include "plateio.h"

extern "C" {
__attribute__((weak)) double sind(double degrees);
__attribute__((weak)) double cosd(double degrees);
__attribute__((weak)) void binning(std::int32_t **grid, std::int32_t factor, std::int32_t *width,
                                   std::int32_t *height, std::int32_t limit);
}

namespace plateio::host {

// The sine and cosine of an angle in degrees. The angle is reduced in degrees, where the reduction
// is exact, before it is turned into radians: multiples of 90 then give exactly 0, 1 and -1, and
// every other finite angle, however large, is accurate to an ulp or two. A zero sine carries the
// sign of the angle, a zero cosine is +0. A non-finite angle gives NaN.
double default_sind(double degrees) noexcept;
double default_cosd(double degrees) noexcept;

// Sums each factor x factor block of the width x height image *grid into one pixel, in place, and
// divides *width and *height by factor, dropping a ragged last row or column. A block holding a
// PIXEL_OVERFLOW pixel becomes PIXEL_OVERFLOW; any other sum is taken in 64 bits and stored clamped
// to limit from above (and to the int32 range from below). Does nothing for a factor below 1, a
// negative size or a null pointer.
void default_binning(std::int32_t **grid, std::int32_t factor, std::int32_t *width, std::int32_t *height,
                     std::int32_t limit) noexcept;

// The routine the library calls: the host's where it supplies one, the default otherwise.
inline double call_sind(double degrees) noexcept {
    return ::sind != nullptr ? ::sind(degrees) : default_sind(degrees);
}

inline double call_cosd(double degrees) noexcept {
    return ::cosd != nullptr ? ::cosd(degrees) : default_cosd(degrees);
}

inline void call_binning(std::int32_t **grid, std::int32_t factor, std::int32_t *width, std::int32_t *height,
                         std::int32_t limit) noexcept {
    if (::binning != nullptr) {
        ::binning(grid, factor, width, height, limit);
    } else {
        default_binning(grid, factor, width, height, limit);
    }
}

// PLATEIO_HOST_ bits of the routines the host supplies: those whose weak reference was bound when
// the library was loaded, and so are called instead of the defaults.
inline std::int32_t routines_supplied() noexcept {
    return (::sind != nullptr ? PLATEIO_HOST_SIND : 0) | (::cosd != nullptr ? PLATEIO_HOST_COSD : 0) |
           (::binning != nullptr ? PLATEIO_HOST_BINNING : 0);
}

} // namespace plateio::host
