// read_tra and read_short_tra on any bytes: the result, the message and the grid are the ones the
// README's decisions give; a refused file leaves the out-parameters as they were. plateio_read on the
// same file says nothing and, where it takes the file for a TRA file, gives the same grid.
#include <cstdlib>
#include <vector>

#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

namespace {

using Reader = std::int32_t (*)(const char *, std::int32_t **, std::int32_t *, std::int32_t *);

void check_reader(const fuzz::MemoryFile &file, const fuzz::Console &console, reference::Bytes bytes,
                  Reader read, bool mark) {
    // Kept from one input to the next, so that each input costs no large allocation of its own.
    static std::vector<std::int32_t> grid(reference::kTraGridPixels);
    const bool expected = reference::tra_grid_into(bytes, mark, grid);
    auto *const sentinel = reinterpret_cast<std::int32_t *>(std::uintptr_t{0x5a5a5a50});
    std::int32_t *pixels = sentinel;
    std::int32_t width = -7;
    std::int32_t height = -9;

    console.clear();
    const fuzz::ResourceMark mark_before;
    const std::int32_t result = read(file.path(), &pixels, &width, &height);
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == (expected ? 1 : 0));
    if (result == 1) {
        FUZZ_CHECK(width == 1200 && height == 1200);
        FUZZ_CHECK(pixels != sentinel && pixels != nullptr);
        FUZZ_CHECK(std::memcmp(pixels, grid.data(), grid.size() * sizeof(std::int32_t)) == 0);
        std::free(pixels);
    } else {
        FUZZ_CHECK(pixels == sentinel && width == -7 && height == -9);
    }
    mark_before.check();
    const std::string printed = console.text();
    FUZZ_CHECK(printed == (result == 1 ? std::string() : reference::tra_failure(file.path(), mark)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-tra");
    const reference::Bytes bytes(data, size);
    file.assign(bytes);
    check_reader(file, console, bytes, read_tra, true);
    check_reader(file, console, bytes, read_short_tra, false);
    static std::vector<std::int32_t> grid(reference::kTraGridPixels);
    const bool loads = reference::tra_grid_into(bytes, true, grid);
    fuzz::check_quiet_read(file.path(), console, bytes, PLATEIO_FAMILY_TRA, loads ? &grid : nullptr);
    return 0;
}
