// NumPy .npy (format 1.0), C order, shape (height, width): '<i4' for an image, '|u1' for a mask.
// Written a block of rows at a time.
#include <algorithm>
#include <string>
#include <vector>

#include "formats.hpp"

namespace plateio::cli {

void little_endian_rows(const Image &image, std::size_t first, std::size_t rows,
                        std::vector<std::uint8_t> &bytes) {
    const auto width = static_cast<std::size_t>(image.width());
    if (image.mask) {
        const auto part = std::span(image.exposure.mask).subspan(first * width, rows * width);
        bytes.assign(part.begin(), part.end());
        return;
    }
    const auto part = image.exposure.view().subspan(first * width, rows * width);
    bytes.resize(part.size() * 4);
    for (std::size_t i = 0; i < part.size(); ++i) {
        const auto v = static_cast<std::uint32_t>(part[i]);
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[4 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
        }
    }
}

void write_npy(PendingOutput &output, const Image &image) {
    std::string header = std::string("{'descr': '") + (image.mask ? "|u1" : "<i4") +
                         "', 'fortran_order': False, 'shape': (" + std::to_string(image.height()) + ", " +
                         std::to_string(image.width()) + "), }";
    // Magic (6), version (2), header length (2), then the header padded with blanks and ended by a
    // line feed so that the data starts on a multiple of 64 bytes.
    const std::size_t unpadded = 10 + header.size() + 1;
    header.append((64 - unpadded % 64) % 64, ' ');
    header.push_back('\n');
    std::vector<std::uint8_t> bytes = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    bytes.push_back(static_cast<std::uint8_t>(header.size() & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(header.size() >> 8));
    bytes.insert(bytes.end(), header.begin(), header.end());
    output.write(bytes);
    const auto height = static_cast<std::size_t>(image.height());
    const std::size_t rows = std::max<std::size_t>(
        1, (1u << 20) / std::max<std::size_t>(1, 4 * static_cast<std::size_t>(image.width())));
    for (std::size_t first = 0; first < height; first += rows) {
        little_endian_rows(image, first, std::min(rows, height - first), bytes);
        output.write(bytes);
    }
}

} // namespace plateio::cli
