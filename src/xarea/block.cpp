#include "xarea/block.hpp"

#include <cstdlib>
#include <cstring>

#include "common/memory.hpp"

namespace plateio::xarea {

namespace {

// Entries up to this size are hashed whole; of a larger one, its first and last kEdgeBytes and
// kSampledWords words spread evenly between them: a constant cost, small next to decoding it.
constexpr std::size_t kEdgeBytes = 64;
constexpr std::size_t kSampledWords = 1024;
constexpr std::size_t kWholeBytes = 2 * kEdgeBytes + 8 * kSampledWords;

std::uint64_t mix(std::uint64_t x) noexcept {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

class ContentHash {
  public:
    void add(const std::uint8_t *bytes, std::size_t count) noexcept {
        for (; count >= 8; bytes += 8, count -= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes, 8);
            step(word);
        }
        if (count != 0) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes, count);
            step(word ^ std::uint64_t{count} << 59);
        }
    }
    std::uint64_t value() const noexcept { return mix(h_); }

  private:
    void step(std::uint64_t word) noexcept {
        h_ = (h_ ^ word) * 0x9e3779b97f4a7c15ull;
        h_ ^= h_ >> 29;
    }
    std::uint64_t h_ = 0x6a09e667f3bcc909ull;
};

std::uint64_t content_hash(const std::uint8_t *entry, std::size_t length) noexcept {
    ContentHash hash;
    if (length <= kWholeBytes) {
        hash.add(entry, length);
        return hash.value();
    }
    hash.add(entry, kEdgeBytes);
    hash.add(entry + length - kEdgeBytes, kEdgeBytes);
    // stride >= 8, and the last word ends at or before length - kEdgeBytes.
    const std::size_t stride = (length - 2 * kEdgeBytes) / kSampledWords;
    for (std::size_t i = 0; i < kSampledWords; ++i) {
        hash.add(entry + kEdgeBytes + i * stride, 8);
    }
    return hash.value();
}

// A 64-bit mix of the entry's length and content, the block's address and its allocated size, so
// that a trailer copied to another address, a block whose allocation changed, and a trailer left
// behind under other content do not validate.
std::uint64_t trailer_tag(const std::uint8_t *block, std::uint64_t length, std::uint64_t allocated) noexcept {
    std::uint64_t x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(block));
    x ^= length * 0x9e3779b97f4a7c15ull;
    x ^= (allocated << 32 | allocated >> 32) ^ 0x706c61746569f00dull;
    return mix(mix(x) ^ content_hash(block, static_cast<std::size_t>(length)));
}

bool all_zero(const std::uint8_t *bytes, std::size_t count) noexcept {
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < count; ++i) {
        any |= bytes[i];
    }
    return any == 0;
}

} // namespace

void seal_block(std::uint8_t *block, std::size_t length) noexcept {
    const std::size_t allocated = allocated_size(block, length + kTrailerBytes);
    const std::size_t trailer_at = allocated - kTrailerBytes;
    std::memset(block + length, 0, trailer_at - length);
    const std::uint64_t fields[2] = {length, trailer_tag(block, length, allocated)};
    std::memcpy(block + trailer_at, fields, sizeof fields);
}

std::size_t block_length(const void *block) noexcept {
    const std::size_t allocated = allocated_size(block, 0);
    if (allocated < kTrailerBytes) {
        return allocated;
    }
    const auto *bytes = static_cast<const std::uint8_t *>(block);
    const std::size_t trailer_at = allocated - kTrailerBytes;
    std::uint64_t fields[2];
    std::memcpy(fields, bytes + trailer_at, sizeof fields);
    if (fields[0] > trailer_at || fields[1] != trailer_tag(bytes, fields[0], allocated)) {
        return allocated;
    }
    const auto length = static_cast<std::size_t>(fields[0]);
    return all_zero(bytes + length, trailer_at - length) ? length : allocated;
}

void release_block(void *block) noexcept {
    const std::size_t allocated = allocated_size(block, 0);
    if (allocated >= kTrailerBytes) {
        // Stores through a volatile pointer: a plain memset before free is a dead store the compiler
        // may drop.
        volatile auto *trailer = static_cast<std::uint8_t *>(block) + allocated - kTrailerBytes;
        for (std::size_t i = 0; i < kTrailerBytes; ++i) {
            trailer[i] = 0;
        }
    }
    std::free(block);
}

} // namespace plateio::xarea
