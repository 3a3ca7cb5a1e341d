// read_xi on any bytes: the result, the messages, every member it writes and every pixel are the
// ones the README's decisions give; the overflow count is checked twice, against an independent
// decoding and against the exported container reader and decoder thresholded here. A refused file
// leaves both records byte for byte as they were, and no header, however large, costs more resident
// memory than the file describes. plateio_read on the same file says nothing and gives the same
// pixels, or refuses it too.
#include <cstdlib>

#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

namespace {

// The pixels through readXImage and uncompressImage, thresholded here: the overflow count a host
// computes for itself from the exported building blocks.
std::int32_t overflow_through_the_container(const char *path, const fuzz::Console &console,
                                            std::int32_t pixel_count) {
    xi_header header;
    void *block = nullptr;
    FUZZ_CHECK(readXImage(path, &header, &block) == 1);
    uncompressImage(&header, &block);
    std::int32_t overflow = 0;
    const auto *pixels = static_cast<const std::int32_t *>(block);
    const std::int32_t threshold = reference::fields_of(header).overflow_threshold;
    for (std::int32_t i = 0; i < pixel_count; ++i) {
        overflow += pixels[i] > threshold ? 1 : 0;
    }
    std::free(block);
    console.clear();
    return overflow;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-xi");
    const reference::Bytes bytes(data, size);
    file.assign(bytes);
    const reference::Import expected = reference::import(bytes, file.path());

    // geometry2 unset on odd sizes, set on even ones: both sides of the rule.
    pixel_image image_before = fuzz::patterned<pixel_image>();
    reduction_params params_before = fuzz::patterned<reduction_params>();
    params_before.geometry2 = size % 2 == 1 ? PLATEIO_UNSET : 5.0;
    pixel_image image = image_before;
    reduction_params params = params_before;

    console.clear();
    const fuzz::ResourceMark mark;
    const fuzz::PeakResident peak;
    const std::int32_t result = read_xi(file.path(), &image, &params);
    FUZZ_CHECK(peak.growth_kib() <= fuzz::resident_allowance_kib(size + 4 * expected.marked.size()));
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == expected.result);
    if (result == 1) {
        FUZZ_CHECK(image.pixels != nullptr && image.pixels != image_before.pixels);
        FUZZ_CHECK(expected.marked.empty() ||
                   std::memcmp(image.pixels, expected.marked.data(), expected.marked.size() * 4) == 0);
        std::int32_t marked = 0;
        for (const std::int32_t pixel : expected.marked) {
            marked += pixel == PIXEL_OVERFLOW ? 1 : 0;
        }
        // Pixels equal to PIXEL_OVERFLOW in the file itself are not overflowed unless above the threshold.
        FUZZ_CHECK(image.overflow_count <= marked);
        std::free(image.pixels);
        pixel_image image_after = image_before;
        reduction_params params_after = params_before;
        reference::apply_read_xi(expected, image_after, params_after);
        image_after.pixels = image.pixels;
        FUZZ_CHECK(fuzz::same_bytes(image, image_after));
        FUZZ_CHECK(fuzz::same_bytes(params, params_after));
    } else {
        FUZZ_CHECK(fuzz::same_bytes(image, image_before));
        FUZZ_CHECK(fuzz::same_bytes(params, params_before));
    }
    mark.check();
    fuzz::check_printed(console.text(), expected.printed, __FILE__);
    if (result == 1) {
        FUZZ_CHECK(overflow_through_the_container(file.path(), console, image.pixel_count) ==
                   image.overflow_count);
    }
    fuzz::check_quiet_read(file.path(), console, bytes, PLATEIO_FAMILY_XAREA,
                           expected.result == 1 ? &expected.marked : nullptr);
    return 0;
}
