// TIFF: one page, little-endian, uncompressed; 32-bit signed samples for an image, 8-bit unsigned ones
// for a mask; the header as JSON in ImageDescription. Written a strip at a time.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <tiffio.h>
#include <vector>

#include "errors.hpp"
#include "formats.hpp"
#include "header.hpp"

#ifndef PLATEIO_VERSION
#define PLATEIO_VERSION "unknown"
#endif

namespace plateio::cli {

namespace {

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

} // namespace

void write_tiff(PendingOutput &output, const Image &image) {
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
    const std::uint32_t sample_bytes = image.mask ? 1 : 4;
    const auto w = static_cast<std::uint32_t>(image.width());
    const auto h = static_cast<std::uint32_t>(image.height());
    // Strips of about 256 KiB: small enough to read a part, large enough to keep the table short.
    const std::uint32_t rows_per_strip =
        std::max<std::uint32_t>(1, (256u * 1024u) / std::max<std::uint32_t>(1, sample_bytes * w));
    const std::string description = header_document(image.header);
    const bool tagged = TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, w) == 1 &&
                        TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, h) == 1 &&
                        TIFFSetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, 8 * sample_bytes) == 1 &&
                        TIFFSetField(tiff.get(), TIFFTAG_SAMPLEFORMAT,
                                     image.mask ? SAMPLEFORMAT_UINT : SAMPLEFORMAT_INT) == 1 &&
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
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t first = 0; first < h; first += rows_per_strip) {
        const std::uint32_t rows = std::min(rows_per_strip, h - first);
        // The file is little-endian ("wl"), and so are these bytes, whatever the host's order.
        little_endian_rows(image, first, rows, bytes);
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

} // namespace plateio::cli
