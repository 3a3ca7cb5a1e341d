// read_tra_header on any bytes: a file of at least 204 bytes fills the record with exactly the
// decoded values and the fixed "absent" values; a shorter one leaves the record as it was.
#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-tra-header");
    const reference::Bytes bytes(data, size);
    file.assign(bytes);

    const image_info before = fuzz::patterned<image_info>();
    const auto expected = reference::tra_header(bytes, file.path(), before);
    image_info info = before;
    console.clear();
    const fuzz::ResourceMark mark;
    const std::int32_t result = read_tra_header(file.path(), &info);
    mark.check();
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == (expected ? 1 : 0));
    // Byte comparison: NaN patterns must come through exactly as the word-swapped rule gives them.
    FUZZ_CHECK(fuzz::same_bytes(info, expected ? *expected : before));
    fuzz::check_printed(console.text(),
                        (result == 1 ? std::string() : reference::tra_failure(file.path(), false)), __FILE__);
    return 0;
}
