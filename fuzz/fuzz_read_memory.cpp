// plateio_read_memory and plateio_read_mask_memory on any bytes give exactly what plateio_read and
// plateio_read_mask give for the same bytes in a file: result, frame (the path aside: a read from
// memory has none) and array, with either flag, probe first as a host does. The input is the
// sanitizer's allocation of exactly its length, so a read of a byte outside it is caught. Nothing is
// printed, and a read from memory leaves nothing open or allocated.
#include <vector>

#include "fuzz_host.hpp"
#include "plateio.h"

using namespace plateio;

namespace {

// A host's probe-then-read of the file and of the bytes, through `read(in_memory, array, capacity,
// frame)`, each into its array of `arrays` (kept from one input to the next).
template <class Element, class Read> void check_both_ways(Read read, std::vector<Element> (&arrays)[2]) {
    std::int32_t codes[2];
    plateio_frame frames[2];
    for (const int in_memory : {0, 1}) {
        arrays[in_memory].clear();
        const fuzz::ResourceMark before_probe;
        codes[in_memory] = read(in_memory != 0, nullptr, 0, &frames[in_memory]);
        before_probe.check();
        if (codes[in_memory] == PLATEIO_E_CAPACITY) {
            const plateio_frame &f = frames[in_memory];
            arrays[in_memory].assign(static_cast<std::size_t>(f.width) * static_cast<std::size_t>(f.height),
                                     7);
            const fuzz::ResourceMark before_read;
            codes[in_memory] =
                read(in_memory != 0, arrays[in_memory].data(), arrays[in_memory].size(), &frames[in_memory]);
            before_read.check();
        }
    }
    FUZZ_CHECK(codes[1] == codes[0]);
    FUZZ_CHECK(frames[1].info.path[0] == '\0');
    std::memset(frames[0].info.path, 0, sizeof frames[0].info.path);
    FUZZ_CHECK(fuzz::same_bytes(frames[1], frames[0]));
    FUZZ_CHECK(arrays[1] == arrays[0]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-memory");
    static std::vector<std::int32_t> pixels[2];
    static std::vector<std::uint8_t> masks[2];
    file.assign({data, size});
    console.clear();
    for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(PLATEIO_KEEP_SATURATED)}) {
        check_both_ways(
            [&](bool in_memory, std::int32_t *out, std::size_t capacity, plateio_frame *frame) {
                return in_memory ? plateio_read_memory(data, size, out, capacity, frame, flags)
                                 : plateio_read(file.path(), out, capacity, frame, flags);
            },
            pixels);
    }
    check_both_ways(
        [&](bool in_memory, std::uint8_t *out, std::size_t capacity, plateio_frame *frame) {
            return in_memory ? plateio_read_mask_memory(data, size, out, capacity, frame)
                             : plateio_read_mask(file.path(), out, capacity, frame);
        },
        masks);
    FUZZ_CHECK(console.text().empty());
    return 0;
}
