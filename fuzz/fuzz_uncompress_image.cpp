// uncompressImage on a header and a pixel entry built from the input, as a host hands them over:
//   bytes 0..3 compression, 4..7 width, 8..11 height, 12..15 delta16_count, 16..19 delta32_count
//   (little-endian int32), the rest the pixel entry.
// The decoder must cost no more memory than the entry describes (a 1-byte entry under a 46340 x 46340
// header included), which the peak of resident memory around a call shows. Two targets share this
// source, since the sanitizer's bookkeeping of a large array (a shadow byte for every eight, written
// when it is released) costs far more than decoding into it: fuzz_uncompress_image takes headers of up
// to kLargest bytes of pixels, fuzz_uncompress_image_huge (FUZZ_HUGE_HEADERS) the larger ones. Taking
// the peak resets the kernel's record of it, a walk over every page of the process, so the first
// target does it around every 256th input and the second around every one. The block is the one
// readXImage hands out for the same entry, and then one the host made itself; the decoded pixels, the
// messages and the fate of the block are the ones the README's decisions give.
#include <cstdlib>
#include <malloc.h>
#include <optional>

#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

namespace {

constexpr std::size_t kFields = 20;
constexpr std::uint64_t kLargest = std::uint64_t{16} << 20;
#ifdef FUZZ_HUGE_HEADERS
constexpr bool kHuge = true;
constexpr std::uint64_t kMeasureEvery = 1;
#else
constexpr bool kHuge = false;
constexpr std::uint64_t kMeasureEvery = 256;
#endif

// The decoded array matches the expectation: its first pixels exactly; the rest, which must be 0, at a
// few places when it is too large to read whole.
void check_pixels(const void *decoded, const reference::Uncompressed &expected) {
    const auto *pixels = static_cast<const std::int32_t *>(decoded);
    FUZZ_CHECK(expected.pixels.empty() ||
               std::memcmp(pixels, expected.pixels.data(), expected.pixels.size() * 4) == 0);
    const std::size_t rest = expected.pixel_count - expected.pixels.size();
    const std::size_t step = rest <= (std::size_t{1} << 16) ? 1 : rest / 64 + 1;
    for (std::size_t i = expected.pixels.size(); i < expected.pixel_count; i += step) {
        FUZZ_CHECK(pixels[i] == 0);
    }
    FUZZ_CHECK(expected.pixel_count == expected.pixels.size() || pixels[expected.pixel_count - 1] == 0);
}

// uncompressImage on `block`, which holds the entry `entry` as the host passes it.
void check_call(const fuzz::Console &console, const xi_header &header, void *block,
                const reference::Uncompressed &expected, std::size_t input_bytes, bool measure) {
    const xi_header header_before = header;
    const std::size_t allocated = malloc_usable_size(block);
    void *pointer = block;
    console.clear();
    const int descriptors = fuzz::open_descriptors();
    const std::size_t heap = fuzz::heap_in_use();
    std::optional<fuzz::PeakResident> peak;
    if (measure) {
        peak.emplace();
    }
    uncompressImage(&header, &pointer);
    FUZZ_CHECK(!peak || peak->growth_kib() <= fuzz::resident_allowance_kib(
                                                  input_bytes, 4 * std::uint64_t{expected.pixel_count}));
    FUZZ_CHECK(fuzz::same_bytes(header, header_before));
    // An array the address space or the allocator refuses takes the no-memory path, which only a large
    // one may.
    const bool refused =
        expected.replaced && pointer == block && expected.pixel_count > (std::size_t{1} << 28);
    if (refused) {
        fuzz::check_printed(console.text(), " uncompressImage(): no memory", __FILE__);
        std::free(block);
    } else if (expected.replaced) {
        FUZZ_CHECK(pointer != nullptr && pointer != block);
        check_pixels(pointer, expected);
        std::free(pointer); // the compressed block is the library's to release
        FUZZ_CHECK(fuzz::heap_in_use() == heap - allocated);
    } else {
        FUZZ_CHECK(pointer == block);
        std::free(block);
    }
    FUZZ_CHECK(fuzz::open_descriptors() == descriptors);
    if (!refused) {
        fuzz::check_printed(console.text(), expected.printed, __FILE__);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-uncompress");
    static std::uint64_t calls = 0;
    if (size < kFields) {
        return 0;
    }
    // The record holds the fields as a file has them, little-endian at their bytes.
    xi_header header = fuzz::patterned<xi_header>();
    auto *record = reinterpret_cast<std::uint8_t *>(&header);
    for (std::size_t i = 0; i < 4; ++i) {
        record[16 + i] = data[i];       // compression
        record[20 + i] = data[4 + i];   // width
        record[24 + i] = data[8 + i];   // height
        record[348 + i] = data[12 + i]; // delta16_count
        record[352 + i] = data[16 + i]; // delta32_count
    }
    const reference::Bytes entry(data + kFields, size - kFields);
    const reference::Uncompressed expected = reference::uncompress(header, entry);
    if ((4 * std::uint64_t{expected.pixel_count} > kLargest) != kHuge) {
        return 0; // the other target's
    }
    const bool measure = calls++ % kMeasureEvery == 0;

    // The block readXImage hands out: the entry's length travels with it, so nothing behind the entry
    // is decoded, whatever the allocator put there.
    file.assign(fuzz::container_file(&header, entry));
    xi_header read_header;
    void *block = nullptr;
    console.clear();
    FUZZ_CHECK(readXImage(file.path(), &read_header, &block) == 1);
    FUZZ_CHECK(fuzz::same_bytes(read_header, header));
    check_call(console, read_header, block, expected, size, measure);

    // A block the host made itself is taken whole, as far as its allocation goes (the sanitizer's
    // allocator adds nothing behind what was asked for).
    auto *own = static_cast<std::uint8_t *>(std::malloc(entry.empty() ? 1 : entry.size()));
    FUZZ_CHECK(own != nullptr);
    if (!entry.empty()) {
        std::memcpy(own, entry.data(), entry.size());
    }
    const reference::Uncompressed expected_own =
        reference::uncompress(header, reference::Bytes(own, malloc_usable_size(own)));
    check_call(console, header, own, expected_own, size, measure);
    return 0;
}
