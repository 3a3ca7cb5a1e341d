// read_az_tra on any bytes, with one fixed index map, once copying the full grid (grid_mode 600) and
// once binned first by the library's built-in binning (this host defines none): the cells and the
// overflow count are the ones the README's decisions give; a refused file changes nothing but the
// count, which is reset.
#include <vector>

#include "fuzz_host.hpp"
#include "plateio.h"
#include "support/reference.hpp"

using namespace plateio;

namespace {

constexpr std::int32_t kCells = 70000;
constexpr std::int32_t kUntouched = -7;

// Grid pixel i goes to a cell spread over the array; some entries fall below 0 or past the last cell,
// and many pixels share a cell, so that drops and overwrites are exercised on every input.
std::vector<std::int32_t> fixed_map() {
    std::vector<std::int32_t> map(reference::kTraGridPixels);
    for (std::size_t i = 0; i < map.size(); ++i) {
        map[i] = static_cast<std::int32_t>((i * 7919) % 71000) - 500;
    }
    return map;
}

// Buffers kept from one input to the next, so that each input costs no large allocation of its own.
struct Scratch {
    std::vector<std::int32_t> map = fixed_map();
    std::vector<std::int32_t> cells = std::vector<std::int32_t>(kCells);
    std::vector<std::int32_t> expected_cells = std::vector<std::int32_t>(kCells);
    std::vector<std::int32_t> grid = std::vector<std::int32_t>(reference::kTraGridPixels);
};

void check_mode(const fuzz::MemoryFile &file, const fuzz::Console &console, reference::Bytes bytes,
                std::int32_t grid_mode, Scratch &s) {
    std::vector<std::int32_t> &cells = s.cells;
    std::fill(cells.begin(), cells.end(), kUntouched);
    std::fill(s.expected_cells.begin(), s.expected_cells.end(), kUntouched);
    std::int32_t expected_overloads = 0;
    const bool expected =
        reference::remap_into(bytes, grid_mode, s.map.data(), s.expected_cells, expected_overloads, s.grid);

    remap_target before = fuzz::patterned<remap_target>();
    before.cells = cells.data();
    before.grid_mode = grid_mode;
    before.cell_count = kCells;
    before.overload_count = 12345;
    before.aux_value = 42.5;
    remap_target target = before;
    std::int32_t *map_pointer = s.map.data();

    console.clear();
    const fuzz::ResourceMark mark;
    const std::int32_t result = read_az_tra(file.path(), &target, &map_pointer);
    mark.check();
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == (expected ? 1 : 0));
    FUZZ_CHECK(map_pointer == s.map.data());
    remap_target after = before;
    if (result == 1) {
        after.overload_count = expected_overloads;
        after.aux_value = 0.0;
        FUZZ_CHECK(cells == s.expected_cells);
        FUZZ_CHECK(console.text().empty());
    } else {
        after.overload_count = 0;
        for (const std::int32_t cell : cells) {
            FUZZ_CHECK(cell == kUntouched);
        }
        fuzz::check_printed(console.text(), reference::tra_failure(file.path(), false), __FILE__);
    }
    FUZZ_CHECK(fuzz::same_bytes(target, after));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const fuzz::Console console;
    static const fuzz::MemoryFile file("plateio-fuzz-az-tra");
    static Scratch scratch;
    const reference::Bytes bytes(data, size);
    file.assign(bytes);
    check_mode(file, console, bytes, 600, scratch);
    check_mode(file, console, bytes, 1200, scratch);
    return 0;
}
