#include "image_files.hpp"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <png.h>
#include <stdexcept>
#include <string_view>
#include <tiffio.h>

namespace plateio::test {

std::vector<std::uint8_t> read_bytes(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open " + path);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TiffImage read_tiff(const std::string &path) {
    const std::unique_ptr<TIFF, void (*)(TIFF *)> tiff(TIFFOpen(path.c_str(), "r"), TIFFClose);
    if (!tiff) {
        throw std::runtime_error("libtiff cannot open " + path);
    }
    TiffImage image;
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &image.bits_per_sample);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLEFORMAT, &image.sample_format);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &image.samples_per_pixel);
    TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &image.photometric);
    image.directories = static_cast<std::uint32_t>(TIFFNumberOfDirectories(tiff.get()));
    const char *description = nullptr;
    if (TIFFGetField(tiff.get(), TIFFTAG_IMAGEDESCRIPTION, &description) == 1 && description != nullptr) {
        image.description = description;
    }
    if (image.bits_per_sample == 8 && image.sample_format == SAMPLEFORMAT_UINT &&
        image.samples_per_pixel == 1) {
        std::vector<std::uint8_t> row(image.width);
        for (std::uint32_t y = 0; y < image.height; ++y) {
            if (TIFFReadScanline(tiff.get(), row.data(), y) != 1) {
                throw std::runtime_error("libtiff cannot read row " + std::to_string(y) + " of " + path);
            }
            image.pixels.insert(image.pixels.end(), row.begin(), row.end());
        }
    }
    if (image.bits_per_sample == 32 && image.sample_format == SAMPLEFORMAT_INT &&
        image.samples_per_pixel == 1 &&
        static_cast<std::size_t>(TIFFScanlineSize(tiff.get())) == std::size_t{image.width} * 4) {
        image.pixels.resize(std::size_t{image.width} * image.height);
        for (std::uint32_t row = 0; row < image.height; ++row) {
            if (TIFFReadScanline(tiff.get(), image.pixels.data() + std::size_t{row} * image.width, row) !=
                1) {
                throw std::runtime_error("libtiff cannot read row " + std::to_string(row) + " of " + path);
            }
        }
    }
    return image;
}

NpyArray read_npy(const std::string &path) {
    const std::vector<std::uint8_t> bytes = read_bytes(path);
    static const std::uint8_t kMagic[] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    if (bytes.size() < 10 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        throw std::runtime_error(path + ": not a .npy file of format 1.0");
    }
    const std::size_t header_length = bytes[8] | (std::size_t{bytes[9]} << 8);
    if (bytes.size() < 10 + header_length) {
        throw std::runtime_error(path + ": header longer than the file");
    }
    const std::string header(bytes.begin() + 10,
                             bytes.begin() + 10 + static_cast<std::ptrdiff_t>(header_length));
    // {'descr': '<i4', 'fortran_order': False, 'shape': (H, W), } then blanks and a line feed.
    std::string_view rest = header;
    const auto expect = [&](std::string_view text) {
        if (!rest.starts_with(text)) {
            throw std::runtime_error(path + ": unexpected header " + header);
        }
        rest.remove_prefix(text.size());
    };
    const auto until = [&](char stop) {
        const std::size_t at = rest.find(stop);
        if (at == std::string_view::npos) {
            throw std::runtime_error(path + ": unexpected header " + header);
        }
        const std::string part(rest.substr(0, at));
        rest.remove_prefix(at);
        return part;
    };
    NpyArray array;
    expect("{'descr': '");
    array.descr = until('\'');
    expect("', 'fortran_order': ");
    array.fortran_order = rest.starts_with("True");
    expect(array.fortran_order ? "True" : "False");
    expect(", 'shape': (");
    std::string dims = until(')');
    for (std::size_t at = 0; at < dims.size();) {
        const std::size_t comma = std::min(dims.find(',', at), dims.size());
        array.shape.push_back(std::stoul(dims.substr(at, comma - at)));
        at = comma + 1;
        while (at < dims.size() && dims[at] == ' ') {
            ++at;
        }
    }
    expect("), }");
    while (rest.starts_with(" ")) {
        rest.remove_prefix(1);
    }
    expect("\n");
    if (!rest.empty()) {
        throw std::runtime_error(path + ": unexpected header " + header);
    }
    array.data_offset = 10 + header_length;
    if (array.descr == "|u1") {
        array.values.assign(bytes.begin() + static_cast<std::ptrdiff_t>(array.data_offset), bytes.end());
        return array;
    }
    if (array.descr != "<i4") {
        return array;
    }
    const std::size_t count = (bytes.size() - array.data_offset) / 4;
    array.values.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t *p = &bytes[array.data_offset + 4 * i];
        array.values[i] = static_cast<std::int32_t>(
            p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24));
    }
    if (array.data_offset + 4 * count != bytes.size()) {
        throw std::runtime_error(path + ": data is not a whole number of int32 values");
    }
    return array;
}

PngImage read_png(const std::string &path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        throw std::runtime_error("libpng cannot read " + path + ": " + image.message);
    }
    image.format = PNG_FORMAT_RGB;
    PngImage out;
    out.width = image.width;
    out.height = image.height;
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr) == 0) {
        throw std::runtime_error("libpng cannot decode " + path + ": " + image.message);
    }
    return out;
}

} // namespace plateio::test
