// uncompressImage on a header and a block built from the input, as a host that took them from
// readXImage would pass them:
//   bytes 0..3 compression, 4..7 width, 8..11 height, 12..15 delta16_count, 16..19 delta32_count
//   (little-endian int32), the rest the block.
// A width x height of more than 2^18 pixels that the platform could still allocate is folded to a
// smaller one, so that no input asks for gigabytes; negative and unrepresentable sizes stay, since
// they must take the no-memory path without allocating anything.
// The decoded pixels, the messages and the fate of the block are the ones the README's decisions give.
#include <cstdlib>
#include <malloc.h>

#include "fuzz_host.hpp"
#include "little_endian.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

namespace {

constexpr std::size_t kFields = 20;
constexpr std::uint64_t kLargestImage = std::uint64_t{1} << 18;

xi_header header_from(reference::Bytes bytes) {
    using writers::set_field;
    xi_header header = fuzz::patterned<xi_header>();
    set_field(header.compression, reference::i32_at(bytes, 0));
    set_field(header.width, reference::i32_at(bytes, 4));
    set_field(header.height, reference::i32_at(bytes, 8));
    set_field(header.delta16_count, reference::i32_at(bytes, 12));
    set_field(header.delta32_count, reference::i32_at(bytes, 16));
    const auto count = reference::pixel_count_of(header);
    if (count && *count > kLargestImage) {
        set_field(header.width, reference::i32_at(bytes, 4) % 512);
        set_field(header.height, reference::i32_at(bytes, 8) % 512);
    }
    return header;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    if (size < kFields) {
        return 0;
    }
    const xi_header header = header_from(reference::Bytes(data, kFields));
    const xi_header header_before = header;
    const std::size_t length = size - kFields;

    // The block as readXImage hands it out: from malloc, the allocator's slack behind it zeroed.
    const std::size_t requested = length != 0 ? length : 1;
    auto *block = static_cast<std::uint8_t *>(std::malloc(requested));
    FUZZ_CHECK(block != nullptr);
    const std::size_t readable = malloc_usable_size(block);
    std::memset(block, 0, readable);
    std::memcpy(block, data + kFields, length);
    const reference::Uncompressed expected = reference::uncompress(header, reference::Bytes(block, readable));

    void *pointer = block;
    console.clear();
    const int descriptors = fuzz::open_descriptors();
    const std::size_t heap = fuzz::heap_in_use();
    uncompressImage(&header, &pointer);
    FUZZ_CHECK(fuzz::same_bytes(header, header_before));
    if (expected.replaced) {
        FUZZ_CHECK(pointer != nullptr && pointer != block);
        FUZZ_CHECK(expected.pixels.empty() ||
                   std::memcmp(pointer, expected.pixels.data(), expected.pixels.size() * 4) == 0);
        std::free(pointer); // the compressed block is the library's to release
    } else {
        FUZZ_CHECK(pointer == block);
        FUZZ_CHECK(length == 0 || std::memcmp(block, data + kFields, length) == 0);
        std::free(block);
    }
    // Nothing but the caller's block came and went.
    FUZZ_CHECK(fuzz::heap_in_use() == heap - requested);
    FUZZ_CHECK(fuzz::open_descriptors() == descriptors);
    fuzz::check_printed(console.text(), expected.printed, __FILE__);
    return 0;
}
