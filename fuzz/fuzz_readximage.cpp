// readXImage on any bytes: the result and the message are the ones the container checks give, in
// their order; on success the record holds the header entry (cleared behind a short one) and the new
// block exactly the pixel entry's bytes; on failure the block pointer is NULL exactly when the pixel
// entry was being taken, and the record is untouched when the header entry was not reached.
#include <cstdlib>

#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-ximage");
    const reference::Bytes bytes(data, size);
    file.assign(bytes);
    const reference::Container expected = reference::container(bytes);

    const xi_header before = fuzz::patterned<xi_header>();
    xi_header header = before;
    void *const sentinel = reinterpret_cast<void *>(std::uintptr_t{0x5a5a5a50});
    void *block = sentinel;

    console.clear();
    const fuzz::ResourceMark mark;
    const std::int32_t result = readXImage(file.path(), &header, &block);
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == expected.result);
    if (result == 1) {
        FUZZ_CHECK(block != nullptr && block != sentinel);
        FUZZ_CHECK(expected.block.empty() ||
                   std::memcmp(block, expected.block.data(), expected.block.size()) == 0);
        std::free(block);
    } else {
        FUZZ_CHECK(block == (expected.block_reset ? nullptr : sentinel));
    }
    mark.check();
    switch (expected.header_after) {
    case reference::HeaderAfter::untouched:
        FUZZ_CHECK(fuzz::same_bytes(header, before));
        break;
    case reference::HeaderAfter::read:
        FUZZ_CHECK(std::memcmp(&header, expected.header.data(), sizeof header) == 0);
        break;
    case reference::HeaderAfter::unknown:
        break;
    }
    fuzz::check_printed(console.text(), expected.printed, __FILE__);
    return 0;
}
