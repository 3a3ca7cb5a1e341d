#include "exposure_fields.hpp"

#include <cmath>
#include <filesystem>

#include "text.hpp"

namespace plateio::cli {

std::vector<std::uint8_t> pixel_mask(const Exposure &exposure) {
    const std::span<const std::int32_t> pixels = exposure.view();
    std::vector<std::uint8_t> mask(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        mask[i] = !exposure.mask.empty() && exposure.mask[i] != 0 ? kMaskOffPlate
                  : pixels[i] == PIXEL_OVERFLOW                   ? kMaskOverflowed
                                                                  : 0;
    }
    return mask;
}

HeaderFields header_fields(const Exposure &exposure, const std::string &source, std::int64_t off_plate,
                           bool mask_bits) {
    const plateio_frame &frame = exposure.frame;
    const image_info &info = frame.info;
    const bool xarea = frame.family == PLATEIO_FAMILY_XAREA;
    HeaderFields fields;
    const auto integer = [&](const char *name, std::int64_t value) { fields.push_back({name, value}); };
    fields.push_back({"source", escape_name(std::filesystem::path(source).filename().string(), true)});
    fields.push_back({"format", std::string(family_name(frame.family))});
    integer("width", frame.width);
    integer("height", frame.height);
    if (xarea) {
        integer("compressed", frame.compressed);
    }
    integer("overflow_mark", PIXEL_OVERFLOW);
    integer("overflow_threshold", frame.overflow_threshold);
    integer("overflow_count", frame.overflow_count);
    integer("off_plate_count", off_plate);
    if (xarea) {
        integer("overload_count", info.overload_count);
    }
    for (int i = 0; i < 9; ++i) {
        const bool carried = xarea ? !std::isnan(info.geometry[i]) : (i == 0 || (i >= 2 && i <= 5));
        if (carried) {
            fields.push_back({"geometry_" + std::to_string(i), info.geometry[i]});
        }
    }
    if (xarea) {
        integer("setting", info.setting);
        fields.push_back({"scale_value", info.scale_value});
    }
    if (mask_bits) {
        integer("mask_off_plate", kMaskOffPlate);
        integer("mask_overflowed", kMaskOverflowed);
    }
    return fields;
}

std::string header_json(const HeaderFields &fields) {
    std::string out = "{";
    for (const HeaderField &field : fields) {
        out += (out.size() > 1 ? ", " : "") + json_text(field.name, true) + ": ";
        if (const auto *integer = std::get_if<std::int64_t>(&field.value)) {
            out += std::to_string(*integer);
        } else if (const auto *real = std::get_if<double>(&field.value)) {
            out += json_real(*real);
        } else {
            // Already escaped (a name) or a plain word: written as it is.
            out += json_text(std::get<std::string>(field.value), true);
        }
    }
    return out + "}";
}

} // namespace plateio::cli
