#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <utility>

#include "errors.hpp"

#ifndef PLATEIO_VERSION
#define PLATEIO_VERSION "unknown"
#endif

namespace plateio::cli {

namespace {

// An output file being written: a regular file is removed again unless it was completed (a device
// such as /dev/null is written but never removed).
class OutputFile {
  public:
    explicit OutputFile(const std::string &path)
        : path_(path), fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
        if (fd_ < 0) {
            throw FileError(path, errno_text(errno));
        }
        struct stat status {};
        regular_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
    }
    ~OutputFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!completed_ && regular_) {
            ::unlink(path_.c_str());
        }
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    int fd() const { return fd_; }
    // Hands the descriptor to a library that closes it itself.
    int release() { return std::exchange(fd_, -1); }
    void complete() { completed_ = true; }

    void write(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throw FileError(path_, errno_text(errno));
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
    }
    void close() {
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) {
            throw FileError(path_, errno_text(errno));
        }
    }

  private:
    std::string path_;
    int fd_;
    bool regular_ = false;
    bool completed_ = false;
};

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

void write_output(const std::string &path, std::span<const std::uint8_t> bytes) {
    OutputFile file(path);
    file.write(bytes);
    file.close();
    file.complete();
}

std::vector<std::uint8_t> npy_bytes(std::span<const std::int32_t> pixels, std::int32_t width,
                                    std::int32_t height) {
    std::string header = "{'descr': '<i4', 'fortran_order': False, 'shape': (" + std::to_string(height) +
                         ", " + std::to_string(width) + "), }";
    // Magic (6), version (2), header length (2), then the header padded with blanks and ended by a
    // line feed so that the data starts on a multiple of 64 bytes.
    const std::size_t unpadded = 10 + header.size() + 1;
    header.append((64 - unpadded % 64) % 64, ' ');
    header.push_back('\n');
    std::vector<std::uint8_t> out = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    out.push_back(static_cast<std::uint8_t>(header.size() & 0xff));
    out.push_back(static_cast<std::uint8_t>(header.size() >> 8));
    out.insert(out.end(), header.begin(), header.end());
    const std::size_t at = out.size();
    out.resize(at + pixels.size() * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const auto v = static_cast<std::uint32_t>(pixels[i]);
        for (std::size_t b = 0; b < 4; ++b) {
            out[at + 4 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
        }
    }
    return out;
}

void write_tiff(const std::string &path, std::span<const std::int32_t> pixels, std::int32_t width,
                std::int32_t height, const std::string &description) {
    OutputFile file(path);
    std::string message;
    errno = 0;
    const std::unique_ptr<TIFFOpenOptions, TiffOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) {
        throw FileError(path, "out of memory");
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), keep_tiff_message, &message);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), keep_tiff_message, &message);
    // "l": little-endian on every host. libtiff turns the host's pixels into that order itself, in
    // the buffer it is handed, so it gets a copy of each strip, never the caller's pixels.
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFFdOpenExt(file.fd(), path.c_str(), "wl", options.get()));
    if (!tiff) {
        throw FileError(path, tiff_reason(message, "libtiff could not open it for writing"));
    }
    file.release(); // TIFFClose closes the descriptor
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    // Strips of about 256 KiB: small enough to read a part, large enough to keep the table short.
    const std::uint32_t rows_per_strip =
        std::max<std::uint32_t>(1, (256u * 1024u) / std::max<std::uint32_t>(1, 4 * w));
    const bool tagged = TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, w) == 1 &&
                        TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, h) == 1 &&
                        TIFFSetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, 32) == 1 &&
                        TIFFSetField(tiff.get(), TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT) == 1 &&
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
    const std::size_t row_pixels = w;
    std::vector<std::int32_t> strip;
    for (std::uint32_t first = 0; first < h; first += rows_per_strip) {
        const std::size_t rows = std::min(rows_per_strip, h - first);
        const auto from = pixels.begin() + static_cast<std::ptrdiff_t>(first * row_pixels);
        strip.assign(from, from + static_cast<std::ptrdiff_t>(rows * row_pixels));
        const auto bytes = static_cast<tmsize_t>(rows * row_pixels * 4);
        if (TIFFWriteEncodedStrip(tiff.get(), first / rows_per_strip, strip.data(), bytes) != bytes) {
            throw FileError(path, tiff_reason(message, "libtiff could not write the pixels"));
        }
    }
    if (TIFFFlush(tiff.get()) != 1) {
        throw FileError(path, tiff_reason(message, "libtiff could not finish the file"));
    }
    tiff.reset();
    file.complete();
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
