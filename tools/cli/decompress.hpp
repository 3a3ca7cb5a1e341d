// Compressed inputs: gzip, bzip2 and xz content, told by its magic bytes (never by the name) and
// expanded into memory through zlib, libbz2 and liblzma, to at most a limit.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plateio::cli {

enum class Compression { none, gzip, bzip2, xz };

// The compression the first bytes of a file announce.
Compression compression_of(const std::uint8_t *bytes, std::size_t length);
const char *compression_name(Compression compression);

// The most bytes a compressed input may expand to before its header is known: 1 GiB, or the value of
// the environment variable PLATEIO_DECOMPRESS_LIMIT (bytes, or with a suffix K, M or G).
std::uint64_t decompress_ceiling();

// The content of the compressed file open on `fd`. `limit_of(prefix)` is asked once the first MiB is
// out, and may lower the limit (from the size the header implies). Content beyond the limit, damaged
// content, and a read that fails throw FileError naming `path` (a capped input names the cap).
std::vector<std::uint8_t>
decompress(int fd, Compression compression, const std::string &path, std::uint64_t ceiling,
           const std::function<std::uint64_t(const std::vector<std::uint8_t> &)> &limit_of);

} // namespace plateio::cli
