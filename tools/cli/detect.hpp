// Which of the two file families a file belongs to, decided from its first bytes and its length
// before the library is asked to read it.
//
//   X-Area  the file starts with the container's magic "STOE_XFILE" and its terminating zero.
//   TRA     no magic, so the structure decides: at least the 336-byte header and the 1200-byte row
//           table; every half-width t >> 1 of the 600 little-endian table values at most 600; and a
//           length L with E <= L < E + 512, where E = 1536 + 8 * sum(t >> 1) is the end of the
//           pixel stream. The header and the table fill exactly three 512-byte blocks, and a file
//           copied from a block-structured disk keeps its last block's padding, so up to 511
//           trailing bytes are accepted (the readers ignore them); more means something else.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace plateio::cli {

enum class Format { tra, xarea };

// "TRA" or "X-Area".
const char *format_name(Format format);

inline constexpr std::size_t kDetectBytes = 1536; // what detection reads of a file

struct Detection {
    std::optional<Format> format;
    std::string reason; // without a format: why the file is neither
};

// Classifies a file from its first min(size, kDetectBytes) bytes and its size.
Detection classify(std::span<const std::uint8_t> head, std::uint64_t size);

// Opens and classifies a file. Throws FileError when it cannot be opened or read, is a directory
// or is not a regular file, or is neither format (the reason says why).
Format detect_format(const std::string &path);

} // namespace plateio::cli
