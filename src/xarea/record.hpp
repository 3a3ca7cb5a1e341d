// The X-Area image header record as the library uses it. The public xi_header names the fields; the
// checks below pin every one to its byte in the file's record, so that a record is a plain byte copy
// of the "XArea_ImgHdr" entry on every ABI.
#pragma once

#include <cstddef>

#include "plateio.h"

namespace plateio::xarea {

inline constexpr std::size_t kRecordBytes = 412;

static_assert(sizeof(xi_header) == kRecordBytes);
static_assert(offsetof(xi_header, compression) == 16);
static_assert(offsetof(xi_header, width) == 20);
static_assert(offsetof(xi_header, height) == 24);
static_assert(offsetof(xi_header, geometry6) == 96);
static_assert(offsetof(xi_header, geometry7) == 100);
static_assert(offsetof(xi_header, geometry8) == 104);
static_assert(offsetof(xi_header, geometry4) == 152);
static_assert(offsetof(xi_header, geometry2) == 176);
static_assert(offsetof(xi_header, geometry0) == 200);
static_assert(offsetof(xi_header, geometry1) == 216);
static_assert(offsetof(xi_header, geometry3) == 224);
static_assert(offsetof(xi_header, geometry5) == 232);
static_assert(offsetof(xi_header, setting) == 328);
static_assert(offsetof(xi_header, overflow_threshold) == 332);
static_assert(offsetof(xi_header, scale_value) == 336);
static_assert(offsetof(xi_header, overload_count) == 344);
static_assert(offsetof(xi_header, delta16_count) == 348);
static_assert(offsetof(xi_header, delta32_count) == 352);

// The compression flag that marks a difference-coded pixel block; any other value means plain pixels.
inline constexpr std::int32_t kDifferenceCoded = 1;

} // namespace plateio::xarea
