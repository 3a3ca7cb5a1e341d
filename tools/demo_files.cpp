// Writes a small synthetic TRA exposure for the demo.
#include <cmath>
#include <cstdio>

#include "file_io.hpp"
#include "tra_writer.hpp"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.tra\n", argv[0]);
        return 2;
    }
    using namespace plateio::writers;
    std::vector<std::uint16_t> grid(std::size_t{kTraGrid} * kTraGrid);
    for (int y = 0; y < kTraGrid; ++y) {
        for (int x = 0; x < kTraGrid; ++x) {
            const double r = std::hypot(x - 599.5, y - 599.5);
            const double ring = 4000.0 * std::exp(-std::pow((r - 300.0) / 6.0, 2));
            grid[static_cast<std::size_t>(y) * kTraGrid + static_cast<std::size_t>(x)] =
                static_cast<std::uint16_t>(200.0 + ring);
        }
    }
    grid[600 * kTraGrid + 900] = 65535;
    const TraFile file = tra_from_grid(grid, circular_row_table(590.0), {80.0, 0.0, 1.5418, 250.0, 0.1});
    if (!write_file(argv[1], encode_tra(file))) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
