// Word-swapped numbers of TRA headers.
//
// The headers were written by a VAX, whose reals keep their 16-bit halves in the opposite order to
// IEEE's little-endian layout. A VAX F_floating value is one such 32-bit word; its fraction has an
// implied leading 0.1 (binary) instead of 1.0 and its exponent bias is 128 instead of 127, so, once
// the halves are swapped back, the bits read as an IEEE single that is exactly 4 times the VAX value.
// A D_floating value starts with the same 32 bits and adds 32 low fraction bits, which the files'
// values never needed: it is read at single precision from its first four bytes.
#pragma once

#include <cstdint>

namespace plateio::tra {

// The real stored in a VAX F_floating field, or in the first four bytes of a D_floating field.
// Every pattern decodes the same way (an IEEE exponent of 255 gives infinity or NaN; an exponent of 0
// with a fraction gives a tiny subnormal value, where a VAX would have read zero).
double decode_vax_real(const std::uint8_t *field) noexcept;

// The integer of a 4-byte word-swapped field: bytes b0 b1 b2 b3 hold the high half in b0 b1 and the
// low half in b2 b3, each half little-endian.
std::int32_t decode_swapped_int(const std::uint8_t *field) noexcept;

} // namespace plateio::tra
