// plateio_read_memory and plateio_read_mask_memory on any bytes give exactly what plateio_read and
// plateio_read_mask give for the same bytes in a file: result, frame (the path aside: a read from
// memory has none) and array, with either flag, probe first as a host does. The input is the
// sanitizer's allocation of exactly its length, so a read of a byte outside it is caught. Nothing is
// printed, and nothing stays open or allocated.
#include <vector>

#include "fuzz_host.hpp"
#include "plateio.h"

using namespace plateio;

namespace {

struct Outcome {
    std::int32_t code = -1;
    plateio_frame frame;
};

// A host's probe-then-read through `read(array, capacity, frame)` into `array` (kept between inputs).
template <class Element, class Read> Outcome read_as_host(Read read, std::vector<Element> &array) {
    Outcome out;
    out.code = read(nullptr, 0, &out.frame);
    array.clear();
    if (out.code == PLATEIO_E_CAPACITY) {
        array.assign(static_cast<std::size_t>(out.frame.width) * static_cast<std::size_t>(out.frame.height),
                     Element{7});
        out.code = read(array.data(), array.size(), &out.frame);
    }
    return out;
}

template <class Element>
void check_same(Outcome from_file, const std::vector<Element> &file_array, const Outcome &from_memory,
                const std::vector<Element> &memory_array) {
    FUZZ_CHECK(from_memory.code == from_file.code);
    FUZZ_CHECK(from_memory.frame.info.path[0] == '\0');
    std::memset(from_file.frame.info.path, 0, sizeof from_file.frame.info.path);
    FUZZ_CHECK(fuzz::same_bytes(from_memory.frame, from_file.frame));
    FUZZ_CHECK(memory_array == file_array);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-memory");
    static std::vector<std::int32_t> file_pixels;
    static std::vector<std::int32_t> memory_pixels;
    static std::vector<std::uint8_t> file_mask;
    static std::vector<std::uint8_t> memory_mask;
    file.assign({data, size});
    console.clear();
    for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(PLATEIO_KEEP_SATURATED)}) {
        const Outcome from_file = read_as_host(
            [&](std::int32_t *out, std::size_t capacity, plateio_frame *frame) {
                return plateio_read(file.path(), out, capacity, frame, flags);
            },
            file_pixels);
        const Outcome from_memory = read_as_host(
            [&](std::int32_t *out, std::size_t capacity, plateio_frame *frame) {
                const fuzz::ResourceMark before;
                const std::int32_t code = plateio_read_memory(data, size, out, capacity, frame, flags);
                before.check();
                return code;
            },
            memory_pixels);
        check_same(from_file, file_pixels, from_memory, memory_pixels);
    }
    const Outcome from_file = read_as_host(
        [&](std::uint8_t *out, std::size_t capacity, plateio_frame *frame) {
            return plateio_read_mask(file.path(), out, capacity, frame);
        },
        file_mask);
    const Outcome from_memory = read_as_host(
        [&](std::uint8_t *out, std::size_t capacity, plateio_frame *frame) {
            return plateio_read_mask_memory(data, size, out, capacity, frame);
        },
        memory_mask);
    check_same(from_file, file_mask, from_memory, memory_mask);
    FUZZ_CHECK(console.text().empty());
    return 0;
}
