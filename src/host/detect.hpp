// Which of the two families a file belongs to, told from its first bytes and its size.
//
//   X-Area  the file starts with the container's magic "STOE_XFILE" and its terminating zero.
//   TRA     no magic, so the structure decides: at least the 336-byte header and the 1200-byte row
//           table; every half-width t >> 1 of the 600 little-endian table values at most 600; and,
//           where the size is known, a length L with E <= L < E + 512, where E = 1536 + 8 * sum(t >> 1)
//           is the end of the pixel stream. The header and the table fill exactly three 512-byte
//           blocks, and a file copied from a block-structured disk keeps its last block's padding, so
//           up to 511 trailing bytes are accepted (the readers ignore them); more means something else.
//           Through a pipe, whose length is not known, the row table alone decides.
#pragma once

#include <cstdint>
#include <span>

#include "common/fault.hpp"

namespace plateio::host {

// The family (PLATEIO_FAMILY_TRA or _XAREA) of a file of `size` bytes (-1: not known) that starts with
// `head`, its first min(size, 1536) bytes; a fault that says why it is neither.
Fault classify(std::span<const std::uint8_t> head, std::int64_t size, std::int32_t &family) noexcept;

} // namespace plateio::host
