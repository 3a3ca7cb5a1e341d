// read_xi_header on any bytes: it reads no pixel, so it refuses only the files readXImage refuses,
// prints what uncompressImage would print for a coded block, fills every member from the header
// record, and leaves the record untouched when it returns 0.
#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-xi-header");
    const reference::Bytes bytes(data, size);
    file.assign(bytes);
    const reference::Import expected = reference::header_import(bytes, file.path());

    const image_info before = fuzz::patterned<image_info>();
    image_info info = before;
    console.clear();
    const fuzz::ResourceMark mark;
    const fuzz::PeakResident peak;
    const std::int32_t result = read_xi_header(file.path(), &info);
    FUZZ_CHECK(peak.growth_kib() <= fuzz::resident_allowance_kib(size));
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
    // The probe reads no pixel and says nothing, whatever the bytes.
    plateio_frame frame;
    console.clear();
    const std::int32_t code = plateio_probe(file.path(), &frame);
    FUZZ_CHECK(code >= PLATEIO_OK && code <= PLATEIO_E_PATH);
    FUZZ_CHECK((code == PLATEIO_OK) == (frame.reason[0] == '\0'));
    fuzz::check_printed(console.text(), "", __FILE__);
    return 0;
}
