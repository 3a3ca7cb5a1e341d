#include "cbf.hpp"

#include <algorithm>
#include <charconv>
#include <memory>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "args.hpp"
#include "md5.hpp"
#include "text.hpp"

#ifndef PLATEIO_VERSION
#define PLATEIO_VERSION "unknown"
#endif

namespace plateio::cli {

namespace {

constexpr std::size_t kPadding = 4095; // what detectors leave after the code; readers skip it
constexpr std::size_t kSlicePixels = 64 * 1024;

bool fits_byte(std::int64_t difference) {
    return static_cast<std::uint64_t>(difference + 127) <= 254;
}

std::size_t wide_size(std::int64_t difference) {
    return difference >= -32767 && difference <= 32767             ? 3
           : difference >= -2147483647 && difference <= 2147483647 ? 7
                                                                   : 15;
}

std::uint8_t *put_le(std::uint8_t *out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        *out++ = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return out;
}

// A difference outside -127 .. 127: the escapes and the value in the first width that holds it.
std::uint8_t *put_wide(std::uint8_t *out, std::int64_t difference) {
    *out++ = 0x80;
    if (difference >= -32767 && difference <= 32767) {
        return put_le(out, static_cast<std::uint64_t>(difference), 2);
    }
    out = put_le(out, 0x8000, 2);
    if (difference >= -2147483647 && difference <= 2147483647) {
        return put_le(out, static_cast<std::uint64_t>(difference), 4);
    }
    out = put_le(out, 0x80000000u, 4);
    return put_le(out, static_cast<std::uint64_t>(difference), 8);
}

// A data block's name: letters, digits, '.' and '_'; anything else (a '-' too, so that no run of
// them can look like the binary section's boundary) becomes '_'.
std::string block_word(std::string_view name) {
    std::string word;
    for (char c : name.substr(0, 64)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '_';
        word += plain ? c : '_';
    }
    return word.empty() ? "image" : word;
}

} // namespace

std::string cbf_header_value(const HeaderField &field) {
    if (const auto *integer = std::get_if<std::int64_t>(&field.value)) {
        return std::to_string(*integer);
    }
    if (const auto *real = std::get_if<double>(&field.value)) {
        return real_text(*real);
    }
    // Printable ASCII with the names' escape; a '-' after a '-' is escaped too (\x2d), so that the
    // text never holds the boundary of the binary section ("--CIF-BINARY-FORMAT-SECTION--").
    std::string text;
    for (const char c : escape_name(std::get<std::string>(field.value), Escape::ascii)) {
        text += c == '-' && !text.empty() && text.back() == '-' ? std::string("\\x2d") : std::string(1, c);
    }
    return text;
}

namespace {

std::string text_part(std::uint64_t code_size, const std::string &digest, std::size_t pixels,
                      std::int32_t width, std::int32_t height, const HeaderFields &fields,
                      std::string_view block_name) {
    std::string head;
    const auto line = [&head](const std::string &text) { head += text + "\r\n"; };
    line("###CBF: VERSION 1.5, plateio " PLATEIO_VERSION);
    line("");
    line("data_" + block_word(block_name));
    line("");
    line("_array_data.header_convention \"PLATEIO_1.0\"");
    line("_array_data.header_contents");
    line(";");
    for (const HeaderField &field : fields) {
        line("# " + field.key + " " + cbf_header_value(field));
    }
    line(";");
    line("");
    line("_array_data.data");
    line(";");
    line("--CIF-BINARY-FORMAT-SECTION--");
    line("Content-Type: application/octet-stream;");
    line("     conversions=\"x-CBF_BYTE_OFFSET\"");
    line("Content-Transfer-Encoding: BINARY");
    line("X-Binary-Size: " + std::to_string(code_size));
    line("X-Binary-ID: 1");
    line("X-Binary-Element-Type: \"signed 32-bit integer\"");
    line("X-Binary-Element-Byte-Order: LITTLE_ENDIAN");
    line("Content-MD5: " + digest);
    line("X-Binary-Number-of-Elements: " + std::to_string(pixels));
    line("X-Binary-Size-Fastest-Dimension: " + std::to_string(width));
    line("X-Binary-Size-Second-Dimension: " + std::to_string(height));
    line("X-Binary-Size-Padding: " + std::to_string(kPadding));
    line("");
    head += "\x0c\x1a\x04\xd5";
    return head;
}

std::span<const std::uint8_t> as_bytes(const std::string &text) {
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

} // namespace

// A difference of two int32 pixels taken modulo 2^32 into -2^31 .. 2^31 - 1. Readers add the
// differences in 32 bits (fabio's reader of 32-bit pixels cannot take the 64-bit escape at all), so
// the wrapped difference gives them the pixel; only -2^31, which is the 32-bit escape's own value,
// still needs the 64-bit form.
std::int64_t wrapped(std::int64_t difference) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(difference)));
}

// Whether every pixel of a block of kBlock pixels differs from the one before it (in memory: the
// block never starts an image) by what one byte holds. Pixels within +-2^30 cannot differ by more
// than an int32 holds, so the differences are taken in 32 bits. With SSE2 (every x86-64) four at a
// time, and `bytes` receives the block's code when it fits.
constexpr std::size_t kBlock = 16;

#if defined(__SSE2__)
bool block_code(const std::int32_t *p, std::uint8_t *bytes) {
    const __m128i small_max = _mm_set1_epi32(127);
    const __m128i small_min = _mm_set1_epi32(-127);
    const __m128i near_max = _mm_set1_epi32(0x3fffffff);
    const __m128i near_min = _mm_set1_epi32(-0x40000000);
    __m128i wide = _mm_setzero_si128();
    __m128i d[4];
    for (int k = 0; k < 4; ++k) {
        const __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * k));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * k - 1));
        d[k] = _mm_sub_epi32(value, before);
        wide = _mm_or_si128(wide, _mm_cmpgt_epi32(d[k], small_max));
        wide = _mm_or_si128(wide, _mm_cmpgt_epi32(small_min, d[k]));
        wide = _mm_or_si128(wide, _mm_cmpgt_epi32(value, near_max));
        wide = _mm_or_si128(wide, _mm_cmpgt_epi32(near_min, value));
        wide = _mm_or_si128(wide, _mm_cmpgt_epi32(before, near_max));
        wide = _mm_or_si128(wide, _mm_cmpgt_epi32(near_min, before));
    }
    if (_mm_movemask_epi8(wide) != 0) {
        return false;
    }
    const __m128i packed = _mm_packs_epi16(_mm_packs_epi32(d[0], d[1]), _mm_packs_epi32(d[2], d[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes), packed);
    return true;
}
#else
bool block_code(const std::int32_t *p, std::uint8_t *bytes) {
    std::uint32_t wide = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
        const auto value = static_cast<std::uint32_t>(p[k]);
        const auto before = static_cast<std::uint32_t>(p[k - 1]);
        wide |= static_cast<std::uint32_t>(value + 0x40000000u >= 0x80000000u);
        wide |= static_cast<std::uint32_t>(before + 0x40000000u >= 0x80000000u);
        wide |= static_cast<std::uint32_t>(value - before + 127u > 254u);
        bytes[k] = static_cast<std::uint8_t>(value - before);
    }
    return wide == 0;
}
#endif

// Walks the pixels, calling single(i, difference) for a pixel taken alone, after block(i) said that
// the kBlock pixels from i on do not all differ by what one byte holds.
template <class Single, class Block>
void walk(std::span<const std::int32_t> pixels, std::int32_t previous, Single &&single, Block &&block) {
    const std::int32_t *p = pixels.data();
    const std::size_t n = pixels.size();
    if (n == 0) {
        return;
    }
    single(0, wrapped(std::int64_t{p[0]} - previous));
    for (std::size_t i = 1; i < n;) {
        if (i + kBlock <= n && block(i)) {
            i += kBlock;
            continue;
        }
        for (const std::size_t end = std::min(n, i + kBlock); i < end; ++i) {
            single(i, wrapped(std::int64_t{p[i]} - std::int64_t{p[i - 1]}));
        }
    }
}

std::uint64_t byte_offset_size(std::span<const std::int32_t> pixels, std::int32_t previous) {
    std::uint64_t size = 0;
    std::uint8_t scratch[kBlock];
    const std::int32_t *p = pixels.data();
    walk(
        pixels, previous, [&](std::size_t, std::int64_t d) { size += fits_byte(d) ? 1 : wide_size(d); },
        [&](std::size_t i) {
            const bool fits = block_code(p + i, scratch);
            size += fits ? kBlock : 0;
            return fits;
        });
    return size;
}

std::size_t byte_offset_encode(std::span<const std::int32_t> pixels, std::int32_t previous,
                               std::uint8_t *out) {
    std::uint8_t *o = out;
    const std::int32_t *p = pixels.data();
    walk(
        pixels, previous,
        [&](std::size_t, std::int64_t d) {
            o = fits_byte(d) ? (*o = static_cast<std::uint8_t>(d), o + 1) : put_wide(o, d);
        },
        [&](std::size_t i) {
            // Written whether or not the block fits: what a wide difference writes next replaces it.
            const bool fits = block_code(p + i, o);
            o += fits ? kBlock : 0;
            return fits;
        });
    return static_cast<std::size_t>(o - out);
}

namespace {

// Calls `each` with the values as consecutive slices of int32 pixels, a mask's bytes widened a slice at
// a time into `wide`.
template <class Values, class Each> void for_slices(Values values, std::int32_t *wide, Each &&each) {
    for (std::size_t first = 0; first < values.size(); first += kSlicePixels) {
        const auto part = values.subspan(first, std::min(kSlicePixels, values.size() - first));
        if constexpr (std::is_same_v<Values, std::span<const std::int32_t>>) {
            each(part);
        } else {
            std::copy(part.begin(), part.end(), wide);
            each(std::span<const std::int32_t>(wide, part.size()));
        }
    }
}

template <class Values>
std::uint64_t write_values(CbfSink &sink, Values values, std::int32_t width, std::int32_t height,
                           const HeaderFields &fields, std::string_view block_name) {
    // The text part comes first but holds the code's length and digest; its length is known from the
    // code's length alone (the digest's text is always 24 characters), so the code is written
    // behind the room it leaves and the text last.
    const std::unique_ptr<std::int32_t[]> wide(new std::int32_t[kSlicePixels]);
    std::uint64_t code_size = 0;
    std::int32_t previous = 0;
    for_slices(values, wide.get(), [&](std::span<const std::int32_t> part) {
        code_size += byte_offset_size(part, previous);
        previous = part.back();
    });
    const std::string placeholder(24, '=');
    const std::size_t text_size =
        text_part(code_size, placeholder, values.size(), width, height, fields, block_name).size();

    Md5 md5;
    // Not cleared: a slice of a real exposure touches one or two bytes a pixel of its room.
    const std::unique_ptr<std::uint8_t[]> slice(new std::uint8_t[kSlicePixels * kByteOffsetWorst]);
    std::uint64_t offset = text_size;
    previous = 0;
    for_slices(values, wide.get(), [&](std::span<const std::int32_t> part) {
        const std::span<const std::uint8_t> code(slice.get(),
                                                 byte_offset_encode(part, previous, slice.get()));
        previous = part.back();
        md5.update(code);
        sink.write(offset, code);
        offset += code.size();
    });
    std::string tail(kPadding, '\0');
    tail += "\r\n--CIF-BINARY-FORMAT-SECTION----\r\n;\r\n\r\n";
    sink.write(offset, as_bytes(tail));
    const std::string text =
        text_part(code_size, base64(md5.finish()), values.size(), width, height, fields, block_name);
    sink.write(0, as_bytes(text));
    return offset + tail.size();
}

} // namespace

std::uint64_t write_cbf(CbfSink &sink, std::span<const std::int32_t> pixels, std::int32_t width,
                        std::int32_t height, const HeaderFields &fields, std::string_view block_name) {
    return write_values(sink, pixels, width, height, fields, block_name);
}

std::uint64_t write_cbf(CbfSink &sink, std::span<const std::uint8_t> mask, std::int32_t width,
                        std::int32_t height, const HeaderFields &fields, std::string_view block_name) {
    return write_values(sink, mask, width, height, fields, block_name);
}

std::string base64(std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        group |= n > 1 ? std::uint32_t{bytes[i + 1]} << 8 : 0;
        group |= n > 2 ? std::uint32_t{bytes[i + 2]} : 0;
        for (std::size_t k = 0; k < 4; ++k) {
            text += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return text;
}

} // namespace plateio::cli
