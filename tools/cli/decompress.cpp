#include "decompress.hpp"

#include <bzlib.h>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <lzma.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <zlib.h>

#include "errors.hpp"
#include "plateio.h"

namespace plateio::cli {

namespace {

constexpr std::uint64_t kDefaultCeiling = std::uint64_t{1} << 30;
constexpr std::size_t kChunk = 1 << 16;
constexpr std::size_t kPrefix = 1 << 20; // expanded before the header is asked for its limit

// One step of a decompressor: consumes input, produces output; says whether the stream ended.
struct Stream {
    virtual ~Stream() = default;
    // Feeds `in` (moved on as consumed) and writes at most `room` bytes to `out`; returns the bytes
    // written. Sets `ended` at the end of the stream; throws a reason on damaged content.
    virtual std::size_t step(const std::uint8_t *&in, std::size_t &in_left, std::uint8_t *out,
                             std::size_t room, bool &ended) = 0;
};

struct Gzip : Stream {
    z_stream z{};
    Gzip() {
        if (inflateInit2(&z, 15 + 32) != Z_OK) { // 32: gzip or zlib header
            throw std::bad_alloc();
        }
    }
    ~Gzip() override { inflateEnd(&z); }
    std::size_t step(const std::uint8_t *&in, std::size_t &in_left, std::uint8_t *out, std::size_t room,
                     bool &ended) override {
        z.next_in = const_cast<Bytef *>(in);
        z.avail_in = static_cast<uInt>(in_left);
        z.next_out = out;
        z.avail_out = static_cast<uInt>(room);
        const int result = inflate(&z, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            throw std::string(z.msg != nullptr ? z.msg : "damaged gzip content");
        }
        ended = result == Z_STREAM_END;
        in_left = z.avail_in;
        in = z.next_in;
        return room - z.avail_out;
    }
};

struct Bzip2 : Stream {
    bz_stream b{};
    Bzip2() {
        if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) {
            throw std::bad_alloc();
        }
    }
    ~Bzip2() override { BZ2_bzDecompressEnd(&b); }
    std::size_t step(const std::uint8_t *&in, std::size_t &in_left, std::uint8_t *out, std::size_t room,
                     bool &ended) override {
        b.next_in = reinterpret_cast<char *>(const_cast<std::uint8_t *>(in));
        b.avail_in = static_cast<unsigned>(in_left);
        b.next_out = reinterpret_cast<char *>(out);
        b.avail_out = static_cast<unsigned>(room);
        const int result = BZ2_bzDecompress(&b);
        if (result != BZ_OK && result != BZ_STREAM_END) {
            throw std::string("damaged bzip2 content");
        }
        ended = result == BZ_STREAM_END;
        in_left = b.avail_in;
        in = reinterpret_cast<const std::uint8_t *>(b.next_in);
        return room - b.avail_out;
    }
};

struct Xz : Stream {
    lzma_stream x = LZMA_STREAM_INIT;
    Xz() {
        if (lzma_stream_decoder(&x, UINT64_MAX, 0) != LZMA_OK) {
            throw std::bad_alloc();
        }
    }
    ~Xz() override { lzma_end(&x); }
    std::size_t step(const std::uint8_t *&in, std::size_t &in_left, std::uint8_t *out, std::size_t room,
                     bool &ended) override {
        x.next_in = in;
        x.avail_in = in_left;
        x.next_out = out;
        x.avail_out = room;
        const lzma_ret result = lzma_code(&x, in_left == 0 ? LZMA_FINISH : LZMA_RUN);
        if (result != LZMA_OK && result != LZMA_STREAM_END && result != LZMA_BUF_ERROR) {
            throw std::string("damaged xz content");
        }
        ended = result == LZMA_STREAM_END;
        in_left = x.avail_in;
        in = x.next_in;
        return room - x.avail_out;
    }
};

std::string size_text(std::uint64_t bytes) {
    return std::to_string(bytes) + " bytes";
}

} // namespace

Compression compression_of(const std::uint8_t *bytes, std::size_t length) {
    if (length >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b) {
        return Compression::gzip;
    }
    if (length >= 3 && std::memcmp(bytes, "BZh", 3) == 0) {
        return Compression::bzip2;
    }
    if (length >= 6 && std::memcmp(bytes,
                                   "\xfd"
                                   "7zXZ\0",
                                   6) == 0) {
        return Compression::xz;
    }
    return Compression::none;
}

const char *compression_name(Compression compression) {
    switch (compression) {
    case Compression::gzip:
        return "gzip";
    case Compression::bzip2:
        return "bzip2";
    case Compression::xz:
        return "xz";
    case Compression::none:
        break;
    }
    return "plain";
}

std::uint64_t decompress_ceiling() {
    const char *text = std::getenv("PLATEIO_DECOMPRESS_LIMIT");
    if (text == nullptr || *text == '\0') {
        return kDefaultCeiling;
    }
    std::uint64_t value = 0;
    const char *end = text + std::strlen(text);
    const auto [rest, error] = std::from_chars(text, end, value);
    const std::string suffix(rest, end);
    const int shift = suffix.empty() ? 0 : suffix == "K" ? 10 : suffix == "M" ? 20 : suffix == "G" ? 30 : -1;
    if (error != std::errc{} || shift < 0 || value > (UINT64_MAX >> shift)) {
        throw UsageError("PLATEIO_DECOMPRESS_LIMIT must be a number of bytes (with K, M or G), not '" +
                         std::string(text) + "'");
    }
    return value << shift;
}

std::vector<std::uint8_t>
decompress(int fd, Compression compression, const std::string &path, std::uint64_t ceiling,
           const std::function<std::uint64_t(const std::vector<std::uint8_t> &)> &limit_of) {
    std::unique_ptr<Stream> stream;
    if (compression == Compression::gzip) {
        stream = std::make_unique<Gzip>();
    } else if (compression == Compression::bzip2) {
        stream = std::make_unique<Bzip2>();
    } else {
        stream = std::make_unique<Xz>();
    }
    const std::string kind = compression_name(compression);
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> chunk(kChunk);
    std::uint64_t limit = ceiling;
    bool asked = false;
    bool ended = false;
    bool input_ended = false;
    std::uint64_t offset = 0;
    const std::uint8_t *in = chunk.data();
    std::size_t in_left = 0;
    while (!ended) {
        if (in_left == 0 && !input_ended) {
            const ssize_t n = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throw FileError(path, errno_text(errno), PLATEIO_E_OPEN);
            }
            offset += static_cast<std::uint64_t>(n);
            in = chunk.data();
            in_left = static_cast<std::size_t>(n);
            input_ended = n == 0;
        }
        // Room for what the limit still allows, and one byte more to see it exceeded.
        const std::size_t room =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, limit + 1 - out.size()));
        const std::size_t before = out.size();
        out.resize(before + room);
        std::size_t made = 0;
        try {
            made = stream->step(in, in_left, out.data() + before, room, ended);
        } catch (const std::string &reason) {
            throw FileError(path, kind + ": " + reason, PLATEIO_E_CORRUPT);
        }
        out.resize(before + made);
        if (out.size() > limit) {
            throw FileError(path,
                            kind + " content larger than the limit of " + size_text(limit) +
                                " (PLATEIO_DECOMPRESS_LIMIT or the size its header implies): not read",
                            PLATEIO_E_CORRUPT);
        }
        if (!asked && (out.size() >= kPrefix || ended)) {
            asked = true;
            limit = std::min(limit, limit_of(out));
            if (out.size() > limit) {
                throw FileError(path,
                                kind + " content larger than the " + size_text(limit) +
                                    " its header implies: not read",
                                PLATEIO_E_CORRUPT);
            }
        }
        if (!ended && made == 0 && in_left == 0 && input_ended) {
            throw FileError(path, kind + " content ends before its stream does", PLATEIO_E_CORRUPT);
        }
    }
    return out;
}

} // namespace plateio::cli
