// The X-Area image header record as the library uses it.
//
// A record is the file's "XArea_ImgHdr" entry byte for byte, on every host: its multi-byte fields are
// little-endian even where the host is not, so that a record read by readXImage (or built by a host
// from a file's bytes) means the same everywhere. The library never reads a member of the public
// struct directly: fields_of() loads each field little-endian from its byte, and the checks below pin
// every field to that byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
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

// The fields the library interprets, in host order.
struct Fields {
    std::int32_t compression = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t geometry6 = 0;
    std::int32_t geometry7 = 0;
    std::int32_t geometry8 = 0;
    double geometry0 = 0;
    double geometry1 = 0;
    double geometry2 = 0;
    double geometry3 = 0;
    double geometry4 = 0;
    double geometry5 = 0;
    std::int32_t setting = 0;
    std::int32_t overflow_threshold = 0;
    double scale_value = 0;
    std::int32_t overload_count = 0;
    std::int32_t delta16_count = 0;
    std::int32_t delta32_count = 0;

    bool coded() const noexcept { return compression == kDifferenceCoded; }
};

template <class T> T field_at(const xi_header &record, std::size_t offset) noexcept {
    return load_le<T>(reinterpret_cast<const std::uint8_t *>(&record) + offset);
}

inline Fields fields_of(const xi_header &record) noexcept {
    Fields f;
    f.compression = field_at<std::int32_t>(record, offsetof(xi_header, compression));
    f.width = field_at<std::int32_t>(record, offsetof(xi_header, width));
    f.height = field_at<std::int32_t>(record, offsetof(xi_header, height));
    f.geometry6 = field_at<std::int32_t>(record, offsetof(xi_header, geometry6));
    f.geometry7 = field_at<std::int32_t>(record, offsetof(xi_header, geometry7));
    f.geometry8 = field_at<std::int32_t>(record, offsetof(xi_header, geometry8));
    f.geometry0 = field_at<double>(record, offsetof(xi_header, geometry0));
    f.geometry1 = field_at<double>(record, offsetof(xi_header, geometry1));
    f.geometry2 = field_at<double>(record, offsetof(xi_header, geometry2));
    f.geometry3 = field_at<double>(record, offsetof(xi_header, geometry3));
    f.geometry4 = field_at<double>(record, offsetof(xi_header, geometry4));
    f.geometry5 = field_at<double>(record, offsetof(xi_header, geometry5));
    f.setting = field_at<std::int32_t>(record, offsetof(xi_header, setting));
    f.overflow_threshold = field_at<std::int32_t>(record, offsetof(xi_header, overflow_threshold));
    f.scale_value = field_at<double>(record, offsetof(xi_header, scale_value));
    f.overload_count = field_at<std::int32_t>(record, offsetof(xi_header, overload_count));
    f.delta16_count = field_at<std::int32_t>(record, offsetof(xi_header, delta16_count));
    f.delta32_count = field_at<std::int32_t>(record, offsetof(xi_header, delta32_count));
    return f;
}

} // namespace plateio::xarea
