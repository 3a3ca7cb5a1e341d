#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <png.h>
#include <tiffio.h>

#include "cbf.hpp"
#include "errors.hpp"
#include "exposure_fields.hpp"
#include "nexus.hpp"

#ifndef PLATEIO_VERSION
#define PLATEIO_VERSION "unknown"
#endif

namespace plateio::cli {

namespace {

std::string lower(std::string text) {
    for (char &c : text) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

struct TiffCloser {
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};
struct TiffOptionsFree {
    void operator()(TIFFOpenOptions *options) const { TIFFOpenOptionsFree(options); }
};

// libtiff reports through a handler; this one keeps the first message for the FileError instead of
// printing it.
int keep_tiff_message(TIFF *, void *user_data, const char *, const char *format, va_list arguments) {
    auto &message = *static_cast<std::string *>(user_data);
    if (message.empty()) {
        char buffer[512];
        std::vsnprintf(buffer, sizeof buffer, format, arguments);
        message = buffer;
    }
    return 1;
}

// The reason of a libtiff failure: its message, and the system's reason when there is one.
std::string tiff_reason(const std::string &message, const char *otherwise) {
    std::string reason = message.empty() ? otherwise : message;
    if (errno != 0) {
        reason += ": " + errno_text(errno);
    }
    return reason;
}

// The samples of rows [first, first + rows) as little-endian bytes.
std::vector<std::uint8_t> strip_bytes(const Plane &plane, std::size_t first, std::size_t rows) {
    const auto width = static_cast<std::size_t>(plane.width);
    if (!plane.mask.empty()) {
        const auto part = plane.mask.subspan(first * width, rows * width);
        return {part.begin(), part.end()};
    }
    std::vector<std::uint8_t> bytes(rows * width * 4);
    const auto part = plane.pixels.subspan(first * width, rows * width);
    for (std::size_t i = 0; i < part.size(); ++i) {
        const auto v = static_cast<std::uint32_t>(part[i]);
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[4 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
        }
    }
    return bytes;
}

void write_tiff(PendingOutput &output, const Plane &plane, const std::string &description) {
    const std::string &path = output.target();
    std::string message;
    errno = 0;
    const std::unique_ptr<TIFFOpenOptions, TiffOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) {
        throw FileError(path, "out of memory");
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), keep_tiff_message, &message);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), keep_tiff_message, &message);
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFFdOpenExt(output.fd(), path.c_str(), "wl", options.get()));
    if (!tiff) {
        throw FileError(path, tiff_reason(message, "libtiff could not open it for writing"));
    }
    output.release(); // TIFFClose closes the descriptor
    const bool mask = !plane.mask.empty();
    const std::uint32_t sample_bytes = mask ? 1 : 4;
    const auto w = static_cast<std::uint32_t>(plane.width);
    const auto h = static_cast<std::uint32_t>(plane.height);
    // Strips of about 256 KiB: small enough to read a part, large enough to keep the table short.
    const std::uint32_t rows_per_strip =
        std::max<std::uint32_t>(1, (256u * 1024u) / std::max<std::uint32_t>(1, sample_bytes * w));
    const bool tagged =
        TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, w) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, h) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, 8 * sample_bytes) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_SAMPLEFORMAT, mask ? SAMPLEFORMAT_UINT : SAMPLEFORMAT_INT) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_ROWSPERSTRIP, rows_per_strip) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_SOFTWARE, "plateio " PLATEIO_VERSION) == 1 &&
        TIFFSetField(tiff.get(), TIFFTAG_IMAGEDESCRIPTION, description.c_str()) == 1;
    if (!tagged) {
        throw FileError(path, tiff_reason(message, "libtiff refused a tag"));
    }
    for (std::uint32_t first = 0; first < h; first += rows_per_strip) {
        const std::uint32_t rows = std::min(rows_per_strip, h - first);
        // The file is little-endian ("wl"), and so are these bytes, whatever the host's order.
        std::vector<std::uint8_t> bytes = strip_bytes(plane, first, rows);
        const auto size = static_cast<tmsize_t>(bytes.size());
        if (TIFFWriteRawStrip(tiff.get(), first / rows_per_strip, bytes.data(), size) != size) {
            throw FileError(path, tiff_reason(message, "libtiff could not write the pixels"));
        }
    }
    if (TIFFFlush(tiff.get()) != 1) {
        throw FileError(path, tiff_reason(message, "libtiff could not finish the file"));
    }
    tiff.reset();
}

class OutputSink : public CbfSink {
  public:
    explicit OutputSink(PendingOutput &output) : output_(output) {}
    void write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        output_.write_at(offset, bytes);
    }

  private:
    PendingOutput &output_;
};

} // namespace

std::optional<OutputFormat> format_of_word(std::string_view word) {
    const std::string w = lower(std::string(word));
    if (w == "tiff" || w == "tif") {
        return OutputFormat::tiff;
    }
    if (w == "npy") {
        return OutputFormat::npy;
    }
    if (w == "cbf") {
        return OutputFormat::cbf;
    }
    if (w == "h5" || w == "hdf5" || w == "hdf" || w == "nxs" || w == "nexus") {
        return OutputFormat::h5;
    }
    return std::nullopt;
}

std::optional<OutputFormat> format_of_extension(const std::string &path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension.size() < 2 || lower(extension) == ".nexus") {
        return std::nullopt;
    }
    return format_of_word(std::string_view(extension).substr(1));
}

const char *default_extension(OutputFormat format) {
    switch (format) {
    case OutputFormat::tiff:
        return ".tif";
    case OutputFormat::npy:
        return ".npy";
    case OutputFormat::cbf:
        return ".cbf";
    case OutputFormat::h5:
        return ".h5";
    }
    return "";
}

const char *format_title(OutputFormat format) {
    switch (format) {
    case OutputFormat::tiff:
        return "TIFF";
    case OutputFormat::npy:
        return "NumPy";
    case OutputFormat::cbf:
        return "CBF";
    case OutputFormat::h5:
        return "HDF5";
    }
    return "";
}

bool format_built(OutputFormat format) {
#ifdef PLATEIO_HAVE_HDF5
    (void)format;
    return true;
#else
    return format != OutputFormat::h5;
#endif
}

void write_plane(OutputFormat format, PendingOutput &output, const Plane &plane, const HeaderFields &fields,
                 std::span<const std::uint8_t> pixel_mask, std::string_view block_name) {
    switch (format) {
    case OutputFormat::tiff:
        write_tiff(output, plane, header_json(fields));
        return;
    case OutputFormat::npy:
        output.write(npy_bytes(plane));
        return;
    case OutputFormat::cbf: {
        OutputSink sink(output);
        if (plane.mask.empty()) {
            write_cbf(sink, plane.pixels, plane.width, plane.height, fields, block_name);
        } else {
            const std::vector<std::int32_t> wide(plane.mask.begin(), plane.mask.end());
            write_cbf(sink, wide, plane.width, plane.height, fields, block_name);
        }
        return;
    }
    case OutputFormat::h5:
#ifdef PLATEIO_HAVE_HDF5
        output.write(nexus_file(output.target(), plane, pixel_mask, fields));
        return;
#else
        (void)pixel_mask;
        throw FileError(output.target(), "this plateio was built without HDF5");
#endif
    }
}

std::vector<std::uint8_t> npy_bytes(const Plane &plane) {
    const bool mask = !plane.mask.empty();
    std::string header = std::string("{'descr': '") + (mask ? "|u1" : "<i4") +
                         "', 'fortran_order': False, 'shape': (" + std::to_string(plane.height) + ", " +
                         std::to_string(plane.width) + "), }";
    // Magic (6), version (2), header length (2), then the header padded with blanks and ended by a
    // line feed so that the data starts on a multiple of 64 bytes.
    const std::size_t unpadded = 10 + header.size() + 1;
    header.append((64 - unpadded % 64) % 64, ' ');
    header.push_back('\n');
    std::vector<std::uint8_t> out = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    out.push_back(static_cast<std::uint8_t>(header.size() & 0xff));
    out.push_back(static_cast<std::uint8_t>(header.size() >> 8));
    out.insert(out.end(), header.begin(), header.end());
    const std::vector<std::uint8_t> data = strip_bytes(plane, 0, static_cast<std::size_t>(plane.height));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<std::uint8_t> png_bytes(const std::string &path, std::span<const std::uint8_t> rgb,
                                    std::int32_t width, std::int32_t height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr) == 0) {
        throw FileError(path, std::string("libpng: ") + image.message);
    }
    std::vector<std::uint8_t> out(size);
    if (png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr) == 0) {
        throw FileError(path, std::string("libpng: ") + image.message);
    }
    out.resize(size);
    return out;
}

} // namespace plateio::cli
