// The tool's input path: content told compressed by its magic is expanded by zlib, libbz2 or liblzma
// to at most a limit, then read from memory. Any bytes, and any content behind a valid stream's
// header, must give either the content (never more than the limit) or a FileError, and the read of
// that content a result and a frame like a read of the same bytes as a file. The first byte picks
// how the rest arrives: as it is (damaged streams), or compressed here first (valid streams around
// arbitrary content), so both the decoders' error paths and the library behind them are searched.
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <vector>

#include "fuzz_host.hpp"
#include "plateio.h"
#include "tools/cli/decompress.hpp"
#include "tools/cli/errors.hpp"

using namespace plateio;

namespace {

constexpr std::uint64_t kCeiling = std::uint64_t{8} << 20;

std::vector<std::uint8_t> compressed(std::uint8_t how, std::span<const std::uint8_t> content) {
    std::vector<std::uint8_t> out(content.size() + content.size() / 2 + 1024);
    switch (how % 4) {
    case 1: {
        z_stream z{};
        FUZZ_CHECK(deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK);
        z.next_in = const_cast<Bytef *>(content.data());
        z.avail_in = static_cast<uInt>(content.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    }
    case 2: {
        auto length = static_cast<unsigned>(out.size());
        FUZZ_CHECK(
            BZ2_bzBuffToBuffCompress(reinterpret_cast<char *>(out.data()), &length,
                                     const_cast<char *>(reinterpret_cast<const char *>(content.data())),
                                     static_cast<unsigned>(content.size()), 1, 0, 0) == BZ_OK);
        out.resize(length);
        return out;
    }
    case 3: {
        std::size_t length = 0;
        FUZZ_CHECK(lzma_easy_buffer_encode(0, LZMA_CHECK_CRC64, nullptr, content.data(), content.size(),
                                           out.data(), &length, out.size()) == LZMA_OK);
        out.resize(length);
        return out;
    }
    default:
        return {content.begin(), content.end()};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::MemoryFile input("plateio-fuzz-tool-input");
    static const fuzz::MemoryFile content_file("plateio-fuzz-tool-content");
    if (size == 0) {
        return 0;
    }
    const std::vector<std::uint8_t> bytes = compressed(data[0], {data + 1, size - 1});
    input.assign(bytes);
    const cli::Compression compression = cli::compression_of(bytes.data(), bytes.size());
    if (compression == cli::Compression::none) {
        return 0;
    }
    std::vector<std::uint8_t> content;
    std::uint64_t limit = kCeiling;
    try {
        content = cli::decompress(input.fd(), compression, "input", kCeiling, [&](const auto &prefix) {
            limit = std::min<std::uint64_t>(kCeiling, 16 + 4 * prefix.size());
            return limit;
        });
    } catch (const cli::FileError &) {
        return 0; // damaged, or beyond the limit: refused with a reason
    }
    FUZZ_CHECK(content.size() <= kCeiling);
    if (data[0] % 4 != 0) {
        // A valid stream gives back exactly what was put in, unless the limit cut it.
        FUZZ_CHECK(content.size() == size - 1 && std::equal(content.begin(), content.end(), data + 1));
    }
    content_file.assign(content);
    plateio_frame from_memory{};
    plateio_frame from_file{};
    const std::int32_t code =
        plateio_read_memory(content.data(), content.size(), nullptr, 0, &from_memory, 0);
    FUZZ_CHECK(code == plateio_read(content_file.path(), nullptr, 0, &from_file, 0));
    FUZZ_CHECK(from_memory.width == from_file.width && from_memory.height == from_file.height &&
               from_memory.family == from_file.family);
    return 0;
}
