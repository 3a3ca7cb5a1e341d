#include "md5.hpp"

#include <cstring>

namespace plateio::cli {

namespace {

constexpr std::uint32_t rotate(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

// The 64 additive constants: the integer part of 2^32 * |sin(i + 1)|.
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

std::uint32_t load_le32(const std::uint8_t *p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// One step of a round: a = b + ((a + f(b, c, d) + word + constant) <<< s). The four rounds differ
// in f, in the order the words are taken and in the shifts; spelt out, the compiler keeps all
// sixteen words and the four state values in registers.
#define PLATEIO_MD5_STEP(f, a, b, c, d, word, constant, s)                                                   \
    a += f(b, c, d) + (word) + (constant);                                                                   \
    a = rotate(a, s) + (b)

constexpr std::uint32_t round_f(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));
}
constexpr std::uint32_t round_g(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (z & (x ^ y));
}
constexpr std::uint32_t round_h(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
constexpr std::uint32_t round_i(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

} // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::blocks(const std::uint8_t *data, std::size_t count) {
    std::uint32_t a = state_[0];
    std::uint32_t b = state_[1];
    std::uint32_t c = state_[2];
    std::uint32_t d = state_[3];
    for (; count > 0; --count, data += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = load_le32(data + 4 * i);
        }
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        for (int i = 0; i < 16; i += 4) {
            PLATEIO_MD5_STEP(round_f, a, b, c, d, w[i], kSine[i], 7);
            PLATEIO_MD5_STEP(round_f, d, a, b, c, w[i + 1], kSine[i + 1], 12);
            PLATEIO_MD5_STEP(round_f, c, d, a, b, w[i + 2], kSine[i + 2], 17);
            PLATEIO_MD5_STEP(round_f, b, c, d, a, w[i + 3], kSine[i + 3], 22);
        }
        for (int i = 0; i < 16; i += 4) {
            PLATEIO_MD5_STEP(round_g, a, b, c, d, w[(5 * i + 1) % 16], kSine[16 + i], 5);
            PLATEIO_MD5_STEP(round_g, d, a, b, c, w[(5 * i + 6) % 16], kSine[17 + i], 9);
            PLATEIO_MD5_STEP(round_g, c, d, a, b, w[(5 * i + 11) % 16], kSine[18 + i], 14);
            PLATEIO_MD5_STEP(round_g, b, c, d, a, w[(5 * i + 16) % 16], kSine[19 + i], 20);
        }
        for (int i = 0; i < 16; i += 4) {
            PLATEIO_MD5_STEP(round_h, a, b, c, d, w[(3 * i + 5) % 16], kSine[32 + i], 4);
            PLATEIO_MD5_STEP(round_h, d, a, b, c, w[(3 * i + 8) % 16], kSine[33 + i], 11);
            PLATEIO_MD5_STEP(round_h, c, d, a, b, w[(3 * i + 11) % 16], kSine[34 + i], 16);
            PLATEIO_MD5_STEP(round_h, b, c, d, a, w[(3 * i + 14) % 16], kSine[35 + i], 23);
        }
        for (int i = 0; i < 16; i += 4) {
            PLATEIO_MD5_STEP(round_i, a, b, c, d, w[(7 * i) % 16], kSine[48 + i], 6);
            PLATEIO_MD5_STEP(round_i, d, a, b, c, w[(7 * i + 7) % 16], kSine[49 + i], 10);
            PLATEIO_MD5_STEP(round_i, c, d, a, b, w[(7 * i + 14) % 16], kSine[50 + i], 15);
            PLATEIO_MD5_STEP(round_i, b, c, d, a, w[(7 * i + 21) % 16], kSine[51 + i], 21);
        }
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state_ = {a, b, c, d};
}

#undef PLATEIO_MD5_STEP

void Md5::update(std::span<const std::uint8_t> bytes) {
    length_ += bytes.size();
    if (pending_size_ > 0) {
        const std::size_t take = std::min(bytes.size(), pending_.size() - pending_size_);
        std::memcpy(pending_.data() + pending_size_, bytes.data(), take);
        pending_size_ += take;
        bytes = bytes.subspan(take);
        if (pending_size_ < pending_.size()) {
            return;
        }
        blocks(pending_.data(), 1);
        pending_size_ = 0;
    }
    const std::size_t whole = bytes.size() / 64;
    blocks(bytes.data(), whole);
    bytes = bytes.subspan(64 * whole);
    std::memcpy(pending_.data(), bytes.data(), bytes.size());
    pending_size_ = bytes.size();
}

std::array<std::uint8_t, 16> Md5::finish() {
    // A one bit, zeros up to 56 bytes of the last block, and the message's length in bits as a
    // little-endian 64-bit number.
    const std::uint64_t bits = length_ * 8;
    std::uint8_t tail[72] = {0x80};
    const std::size_t zeros = (pending_size_ < 56 ? 56 : 120) - pending_size_;
    for (std::size_t i = 0; i < 8; ++i) {
        tail[zeros + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    update({tail, zeros + 8});
    std::array<std::uint8_t, 16> digest{};
    for (std::size_t i = 0; i < 16; ++i) {
        digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (8 * (i % 4)));
    }
    return digest;
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
