// read_xi_header on any bytes: it refuses exactly the files read_xi refuses, prints the same
// count-mismatch report, fills every member from the header record, and leaves the record untouched
// when it returns 0.
#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-xi-header");
    const reference::Bytes bytes(data, size);
    file.assign(bytes);
    const reference::Import expected = reference::import(bytes, file.path());

    const image_info before = fuzz::patterned<image_info>();
    image_info info = before;
    console.clear();
    const fuzz::ResourceMark mark;
    const std::int32_t result = read_xi_header(file.path(), &info);
    mark.check();
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == expected.result);
    if (result == 1) {
        const image_info after = reference::applied_read_xi_header(expected, before, file.path());
        FUZZ_CHECK(fuzz::same_bytes(info, after));
    } else {
        FUZZ_CHECK(fuzz::same_bytes(info, before));
    }
    fuzz::check_printed(console.text(), expected.printed, __FILE__);
    return 0;
}
