#include "exposure.hpp"

#include <cmath>
#include <limits>

#include "errors.hpp"
#include "little_endian.hpp"

namespace plateio::cli {

namespace {

image_info blank_info() {
    image_info info{};
    for (double &value : info.geometry) {
        value = std::numeric_limits<double>::quiet_NaN();
    }
    return info;
}

void load_tra(const std::string &path, bool describe, Exposure &exposure) {
    if (describe) {
        image_info info = blank_info();
        if (read_tra_header(path.c_str(), &info) != 1) {
            throw FileError(
                path,
                "read_tra_header could not read its header (the library's message is on standard output)");
        }
        exposure.info = info;
    }
    std::int32_t *pixels = nullptr;
    if (read_tra(path.c_str(), &pixels, &exposure.width, &exposure.height) != 1) {
        throw FileError(path, "read_tra could not load it (the library's message is on standard output)");
    }
    exposure.pixels.reset(pixels);
}

void load_xarea(const std::string &path, bool describe, Exposure &exposure) {
    if (describe) {
        xi_header header{};
        void *block = nullptr;
        if (readXImage(path.c_str(), &header, &block) != 1) {
            std::free(block);
            throw FileError(
                path,
                "readXImage could not read its container (the library's message is on standard output)");
        }
        std::free(block);
        exposure.compressed = writers::get_field(header.compression) == 1;
        image_info info = blank_info();
        if (read_xi_header(path.c_str(), &info) != 1) {
            throw FileError(
                path,
                "read_xi_header could not read its header (the library's message is on standard output)");
        }
        exposure.info = info;
    }
    pixel_image image{};
    reduction_params params{};
    params.geometry2 = PLATEIO_UNSET;
    if (read_xi(path.c_str(), &image, &params) != 1) {
        throw FileError(path, "read_xi could not load it (the library's message is on standard output)");
    }
    exposure.pixels.reset(image.pixels);
    exposure.width = image.width;
    exposure.height = image.height;
}

} // namespace

Exposure load_exposure(const std::string &path, bool describe) {
    Exposure exposure;
    exposure.format = detect_format(path);
    if (exposure.format == Format::tra) {
        load_tra(path, describe, exposure);
    } else {
        load_xarea(path, describe, exposure);
    }
    return exposure;
}

} // namespace plateio::cli
