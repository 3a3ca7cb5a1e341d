// imgCIF/CBF files as crystallography programs exchange detector images: a CIF text part with a
// mini-header of named values, and one binary section of 32-bit pixels in the byte-offset code.
//
//   ###CBF: VERSION 1.5, plateio ...
//   data_NAME
//   _array_data.header_convention "PLATEIO_1.0"
//   _array_data.header_contents
//   ;
//   # name value                       one line for every header field
//   ;
//   _array_data.data
//   ;
//   --CIF-BINARY-FORMAT-SECTION--
//   Content-Type: application/octet-stream;
//        conversions="x-CBF_BYTE_OFFSET"
//   ...                                the MIME lines: size, element type, byte order, Content-MD5,
//                                      number of elements, the two dimensions, padding
//   (blank line) 0C 1A 04 D5 CODE PADDING
//   --CIF-BINARY-FORMAT-SECTION----
//   ;
//
// Every line ends in CR LF. The byte-offset code stores each pixel as its difference from the one
// before it (the first from 0), taken modulo 2^32 into -2^31 .. 2^31 - 1 as readers of 32-bit
// pixels add them: one signed byte when the difference lies in -127 .. 127; otherwise the byte 0x80
// and a little-endian int16 when it lies in -32767 .. 32767; otherwise also 0x8000 and an int32;
// and for -2^31 alone also 0x80000000 and an int64. The values the escapes use are never
// differences themselves.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "header_fields.hpp"

namespace plateio::cli {

// Where a CBF file goes: `write(offset, bytes)` puts bytes at an offset of the file (the text part
// is written last, once the code's digest is known) and throws when it cannot.
class CbfSink {
  public:
    virtual ~CbfSink() = default;
    virtual void write(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
};

// The number of bytes of the byte-offset code of `pixels`, continuing from the pixel `previous`.
std::uint64_t byte_offset_size(std::span<const std::int32_t> pixels, std::int32_t previous = 0);

// The most bytes the code of one pixel takes.
inline constexpr std::size_t kByteOffsetWorst = 1 + 2 + 4 + 8;

// Writes the byte-offset code of `pixels` to `out`, which has room for kByteOffsetWorst bytes a
// pixel, continuing from the pixel `previous` (0 before the first pixel of an image); returns the
// number of bytes written.
std::size_t byte_offset_encode(std::span<const std::int32_t> pixels, std::int32_t previous,
                               std::uint8_t *out);

// Writes the CBF file of a width x height image (row-major; width is the fastest dimension) with
// `fields` in its mini-header (cbf_header_value) to `sink`, and returns its length. `block_name`
// names the CIF data block: characters other than letters, digits, '.' and '_' become '_'. The code
// is made, hashed and written a slice at a time, so that it never needs memory of its own size. A
// mask's bytes are written as 32-bit pixels.
std::uint64_t write_cbf(CbfSink &sink, std::span<const std::int32_t> pixels, std::int32_t width,
                        std::int32_t height, const HeaderFields &fields, std::string_view block_name);
std::uint64_t write_cbf(CbfSink &sink, std::span<const std::uint8_t> mask, std::int32_t width,
                        std::int32_t height, const HeaderFields &fields, std::string_view block_name);

// A header value as its "# key value" line gives it: printable ASCII, a name escaped as text.hpp
// describes, and a '-' that follows a '-' as \x2d, so that the text never holds the binary section's
// boundary.
std::string cbf_header_value(const HeaderField &field);

} // namespace plateio::cli
