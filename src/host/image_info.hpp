// What both header readers do alike to the host's image_info: the path copy and the values that
// stand for "this format carries no such value".
#pragma once

#include <cstdint>

#include "plateio.h"

namespace plateio::host {

inline constexpr std::int32_t kAbsent = -1;
inline constexpr double kAbsentReal = -1.0;

// True when `path` fits image_info.path with its terminating zero. A longer path is refused by the
// readers: a truncated path would name another file.
bool path_fits(const char *path) noexcept;

// Copies `path` verbatim (it is data, never a format). Requires path_fits(path).
void store_path(image_info &info, const char *path) noexcept;

} // namespace plateio::host
