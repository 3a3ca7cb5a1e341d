#include "header.hpp"

#include <cmath>
#include <limits>

#include "args.hpp"

namespace plateio::cli {

namespace {

constexpr const char *kGeometryKeys[9] = {"geometry_0", "geometry_1", "geometry_2",
                                          "geometry_3", "geometry_4", "geometry_5",
                                          "geometry_6", "geometry_7", "geometry_8"};

// TRA's saturation mark: the raw count a saturated TRA pixel holds.
constexpr std::int64_t kTraSaturation = 65535;

std::string base_name(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

Header exposure_header(const Exposure &exposure) {
    const plateio_frame &frame = exposure.frame;
    const image_info &info = frame.info;
    const bool xarea = frame.family == PLATEIO_FAMILY_XAREA;
    Header header;
    const auto integer = [&](const char *key, std::int64_t value) { header.push_back({key, value}); };
    const auto real = [&](const char *key, double value) {
        if (!std::isnan(value)) {
            header.push_back({key, value});
        }
    };
    header.push_back({"format", std::string(xarea ? "xarea" : "tra")});
    header.push_back({"source", base_name(exposure.source)});
    integer("width", frame.width);
    integer("height", frame.height);
    integer("compressed", xarea ? frame.compressed : 0);
    if (xarea) {
        integer("overflow_threshold", info.overflow_threshold);
        // One above the threshold: the lowest count the file marks as overflowed.
        if (info.overflow_threshold < std::numeric_limits<std::int32_t>::max()) {
            integer("saturation_value", std::int64_t{info.overflow_threshold} + 1);
        }
    } else {
        integer("saturation_value", kTraSaturation);
    }
    integer("overflow_value", PIXEL_OVERFLOW);
    integer("overflow_count", exposure.overflowed);
    integer("off_plate_count", exposure.off_plate);
    if (xarea) {
        integer("overload_count", info.overload_count);
    }
    for (int i = 0; i < 9; ++i) {
        // TRA's geometry[1] is a fixed 0.0 and its 6 to 8 do not exist.
        if (xarea || i == 0 || (i >= 2 && i <= 5)) {
            real(kGeometryKeys[i], info.geometry[i]);
        }
    }
    if (xarea) {
        integer("setting", info.setting);
        real("scale_value", info.scale_value);
    }
    return header;
}

std::string header_word(const HeaderField &field, Escape escape) {
    if (const auto *integer = std::get_if<std::int64_t>(&field.value)) {
        return std::to_string(*integer);
    }
    if (const auto *real = std::get_if<double>(&field.value)) {
        return real_text(*real);
    }
    return escape_name(std::get<std::string>(field.value), escape);
}

void put_header(Json &json, const Header &header) {
    json.open_object();
    for (const HeaderField &field : header) {
        json.key(field.key);
        if (const auto *integer = std::get_if<std::int64_t>(&field.value)) {
            json.number(*integer);
        } else if (const auto *real = std::get_if<double>(&field.value)) {
            json.number(*real);
        } else {
            json.name(std::get<std::string>(field.value));
        }
    }
    json.close();
}

std::string header_document(const Header &header) {
    Json json(false, true);
    json.open_object().key("header");
    put_header(json, header);
    return json.close().str();
}

std::optional<std::int64_t> header_integer(const Header &header, std::string_view key) {
    for (const HeaderField &field : header) {
        if (key == field.key) {
            if (const auto *integer = std::get_if<std::int64_t>(&field.value)) {
                return *integer;
            }
        }
    }
    return std::nullopt;
}

} // namespace plateio::cli
