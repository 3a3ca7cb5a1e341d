// PNG, 8-bit RGB, through libpng's simplified interface.
#include <png.h>
#include <vector>

#include "errors.hpp"
#include "formats.hpp"

namespace plateio::cli {

void write_png(PendingOutput &output, std::span<const std::uint8_t> rgb, std::int32_t width,
               std::int32_t height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr) == 0) {
        throw FileError(output.target(), std::string("libpng: ") + image.message);
    }
    std::vector<std::uint8_t> bytes(size);
    if (png_image_write_to_memory(&image, bytes.data(), &size, 0, rgb.data(), 0, nullptr) == 0) {
        throw FileError(output.target(), std::string("libpng: ") + image.message);
    }
    bytes.resize(size);
    output.write(bytes);
}

} // namespace plateio::cli
