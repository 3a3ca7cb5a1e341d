// Writes the fuzz targets' seed corpus with the project's writers: small synthetic exposures of both
// formats, the corner cases of each layout, and one example of each way a file is refused.
//
//   plateio_fuzz_corpus DIR     writes DIR/<target>/<seed> for every target (same bytes every run)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "file_io.hpp"
#include "plateio.h"
#include "synth.hpp"
#include "tra_writer.hpp"
#include "xarea_writer.hpp"

namespace {

using namespace plateio::writers;
using Bytes = std::vector<std::uint8_t>;

struct Seed {
    std::string name;
    Bytes bytes;
};

// ---- TRA ----------------------------------------------------------------------------------------

ExposureValues exposure_values() {
    ExposureValues values;
    values.geometry = {80.0, 0.0, 0.5, 0.7107, 250.0, 1.5, 0, 0, 0};
    return values;
}

TraHeaderValues tra_values() {
    const ExposureValues v = exposure_values();
    return {v.geometry[0], v.geometry[2], v.geometry[3], v.geometry[4], v.geometry[5]};
}

// A synthetic exposure of `size` x `size` pixels (rings, beam stop, saturated grains) placed at the
// centre of the TRA grid, recorded on a plate of radius size / 2: a small file with a real picture.
TraFile small_plate(int size, std::uint64_t seed, double peak) {
    SynthSettings settings;
    settings.width = size;
    settings.height = size;
    settings.seed = seed;
    settings.peak = peak;
    const std::vector<std::int32_t> picture = synth_exposure(settings);
    std::vector<std::uint16_t> grid(std::size_t{kTraGrid} * kTraGrid, 0);
    const int first = (kTraGrid - size) / 2;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const std::int32_t value = picture[static_cast<std::size_t>(y * size + x)];
            grid[static_cast<std::size_t>((first + y) * kTraGrid + first + x)] =
                static_cast<std::uint16_t>(std::clamp(value, 0, 65535));
        }
    }
    return tra_from_grid(grid, circular_row_table(size / 2.0), tra_values());
}

Bytes cut(Bytes bytes, std::size_t length) {
    bytes.resize(std::min(length, bytes.size()));
    return bytes;
}

std::vector<Seed> tra_seeds() {
    const TraFile plate = small_plate(48, 1, 30000.0);
    const TraFile bright = small_plate(32, 2, 200000.0); // rings driven past the ceiling: many 65535s

    TraFile empty;
    empty.header = tra_header(tra_values());

    TraFile full_rows; // the widest rows the grid holds, one with the low bit set
    full_rows.header = tra_header(tra_values());
    full_rows.row_table[0] = 1200;
    full_rows.row_table[599] = 1201;
    for (std::size_t i = 0; i < tra_stream_length(full_rows.row_table); ++i) {
        full_rows.stream.push_back(static_cast<std::uint16_t>(i % 7 == 0 ? 65535 : 65534 - i % 1000));
    }

    TraFile odd = small_plate(24, 3, 30000.0);
    for (std::uint16_t &value : odd.row_table) {
        value = static_cast<std::uint16_t>(value | (value != 0 ? 1 : 0));
    }

    TraFile too_wide = small_plate(24, 4, 30000.0);
    too_wide.row_table[300] = 1202;

    Bytes trailing = encode_tra(plate);
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5});

    const Bytes plate_bytes = encode_tra(plate);
    // A TRA file whose header text begins like an X-Area file: read_tra reads it, the quiet reader takes
    // it for a container by its magic and refuses it.
    Bytes masked = plate_bytes;
    std::memcpy(masked.data(), "STOE_XFILE", 11);
    return {
        {"plate48.tra", plate_bytes},
        {"bright32.tra", encode_tra(bright)},
        {"empty_table.tra", encode_tra(empty)},
        {"full_rows.tra", encode_tra(full_rows)},
        {"odd_table.tra", encode_tra(odd)},
        {"trailing_bytes.tra", trailing},
        {"xarea_magic_in_the_header_text.tra", masked},
        {"refused_row_too_wide.tra", encode_tra(too_wide)},
        {"refused_stream_cut.tra", cut(plate_bytes, plate_bytes.size() - 3)},
        {"refused_table_cut.tra", cut(plate_bytes, 1000)},
    };
}

std::vector<Seed> tra_header_seeds() {
    const Bytes plate = encode_tra(small_plate(24, 5, 30000.0));
    TraHeaderValues odd_values{-1.0e-30, 3.0e30, -0.0, 1.0 / 3.0, 65535.5};
    TraFile odd;
    odd.header = tra_header(odd_values, "a header line of all 113 characters ......................."
                                        "..................................................");
    return {
        {"header_204.tra", cut(plate, 204)},
        {"header_336.tra", cut(plate, 336)},
        {"whole_file.tra", plate},
        {"odd_values.tra", cut(encode_tra(odd), 400)},
        {"refused_203.tra", cut(plate, 203)},
    };
}

// ---- X-Area -------------------------------------------------------------------------------------

ExposureValues xarea_values(std::int32_t threshold) {
    ExposureValues values;
    values.geometry = {80.0, 0.25, 0.5, 0.7107, 250.0, 1.5, 3.0, 1.0, 2.0};
    values.setting = 7;
    values.overflow_threshold = threshold;
    values.scale_value = 0.85;
    return values;
}

std::vector<std::int32_t> picture(std::int32_t width, std::int32_t height, std::uint64_t seed,
                                  std::int32_t ceiling = 65535) {
    SynthSettings settings;
    settings.width = width;
    settings.height = height;
    settings.seed = seed;
    settings.ceiling = ceiling;
    return synth_exposure(settings);
}

// The header record and block of a synthetic exposure, for containers laid out by hand.
struct Parts {
    xi_header header;
    Bytes block;
};

Parts parts(std::int32_t width, std::int32_t height, bool compressed, std::uint64_t seed) {
    const std::vector<std::int32_t> pixels = picture(width, height, seed);
    xi_header header = make_xi_header(width, height, compressed ? 1 : 0);
    set_field(header.overflow_threshold, 20000);
    set_field(header.geometry0, 80.0);
    set_field(header.scale_value, 0.85);
    if (compressed) {
        CompressedBlock coded = compress_pixels(pixels);
        set_field(header.delta16_count, coded.delta16_count);
        set_field(header.delta32_count, coded.delta32_count);
        return {header, coded.bytes};
    }
    return {header, plain_block(pixels)};
}

Bytes container_of(const Parts &p, const std::function<void(XiContainer &)> &change = {}) {
    XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", record_bytes(p.header), {}, {}});
    container.entries.push_back({"XArea_Image", p.block, {}, {}});
    if (change) {
        change(container);
    }
    return encode_xarea(container);
}

std::vector<Seed> xarea_seeds() {
    const auto plain = picture(24, 16, 11);
    const auto coded =
        picture(33, 17, 12, 2000000); // odd pixel count: the 32-bit values start at an odd byte
    const auto wide = picture(64, 48, 13, 3000000);

    const Parts small_coded = parts(20, 12, true, 14);
    const Parts small_plain = parts(12, 10, false, 15);
    Parts mismatch = small_coded;
    set_field(mismatch.header.delta16_count, get_field(small_coded.header.delta16_count) - 1);
    const Parts empty{make_xi_header(0, 0, 0), {}};

    return {
        {"plain_24x16.xa", synth_xarea_file(plain, 24, 16, xarea_values(20000), false)},
        {"coded_33x17.xa", synth_xarea_file(coded, 33, 17, xarea_values(50000), true)},
        {"coded_64x48.xa", synth_xarea_file(wide, 64, 48, xarea_values(-1), true)},
        {"entries_reversed.xa", container_of(small_coded,
                                             [](XiContainer &c) {
                                                 std::swap(c.entries[0], c.entries[1]);
                                                 c.data_order = {1, 0};
                                             })},
        {"extra_entries.xa",
         container_of(small_plain,
                      [](XiContainer &c) {
                          c.entries.insert(c.entries.begin(), {"XArea_Other", {1, 2, 3}, {}, {}});
                          c.entries.push_back({"XArea_ImgHdr", Bytes(412, 0xee), {}, {}});
                      })},
        {"short_header_entry.xa",
         container_of(small_plain, [](XiContainer &c) { c.entries[0].data.resize(356); })},
        {"long_header_entry.xa",
         container_of(small_coded, [](XiContainer &c) { c.entries[0].data.resize(500, 0x77); })},
        {"count_mismatch.xa", container_of(mismatch)},
        {"empty_image.xa", container_of(empty)},
        {"refused_block_short.xa",
         container_of(small_plain, [](XiContainer &c) { c.entries[1].data.pop_back(); })},
        {"refused_no_pixel_entry.xa",
         container_of(small_plain, [](XiContainer &c) { c.entries.pop_back(); })},
        {"refused_toc_cut.xa", container_of(small_plain, [](XiContainer &c) { c.entry_count = 9; })},
        // A header of 46340 x 46340 pixels over a pixel entry of one code: eight gigabytes claimed, one
        // byte given.
        {"huge_header_one_code.xa", container_of(Parts{make_xi_header(46340, 46340, 1), {128}})},
        {"codes_cut_short.xa",
         container_of(small_coded, [](XiContainer &c) { c.entries[1].data.resize(100); })},
    };
}

// uncompressImage's input: five int32 header fields (compression, width, height, delta16_count,
// delta32_count), then the block.
Bytes uncompress_input(std::int32_t compression, std::int32_t width, std::int32_t height,
                       std::int32_t delta16, std::int32_t delta32, const Bytes &block) {
    Bytes out;
    for (const std::int32_t field : {compression, width, height, delta16, delta32}) {
        const auto bytes = le_bytes(field);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

std::vector<Seed> uncompress_seeds() {
    const auto pixels = picture(40, 30, 21, 5000000);
    const CompressedBlock coded = compress_pixels(pixels);
    const auto odd = picture(7, 5, 22, 5000000);
    const CompressedBlock coded_odd = compress_pixels(odd);
    Bytes cut_block = coded.bytes;
    cut_block.resize(cut_block.size() - 5);
    return {
        {"coded_40x30", uncompress_input(1, 40, 30, coded.delta16_count, coded.delta32_count, coded.bytes)},
        {"coded_7x5",
         uncompress_input(1, 7, 5, coded_odd.delta16_count, coded_odd.delta32_count, coded_odd.bytes)},
        {"counts_disagree",
         uncompress_input(1, 40, 30, coded.delta16_count + 1, coded.delta32_count - 1, coded.bytes)},
        {"block_cut_short", uncompress_input(1, 40, 30, coded.delta16_count, coded.delta32_count, cut_block)},
        {"not_coded", uncompress_input(0, 40, 30, coded.delta16_count, coded.delta32_count, coded.bytes)},
        {"negative_width", uncompress_input(1, -40, 30, 0, 0, coded.bytes)},
        {"beyond_the_platform", uncompress_input(1, 0x7fffffff, 0x7fffffff, 0, 0, coded.bytes)},
        {"huge_header_one_code", uncompress_input(1, 46340, 46340, 0, 0, {128})},
        {"empty_entry", uncompress_input(1, 4, 1, 0, 0, {})},
    };
}

bool write_all(const std::filesystem::path &dir, const std::vector<Seed> &seeds) {
    std::filesystem::create_directories(dir);
    for (const Seed &seed : seeds) {
        if (!write_file((dir / seed.name).string(), seed.bytes)) {
            std::fprintf(stderr, "cannot write %s\n", (dir / seed.name).c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const auto tra = tra_seeds();
    const auto xarea = xarea_seeds();
    const bool ok = write_all(root / "read_tra", tra) && write_all(root / "read_az_tra", tra) &&
                    write_all(root / "read_tra_header", tra_header_seeds()) &&
                    write_all(root / "readximage", xarea) && write_all(root / "read_xi", xarea) &&
                    write_all(root / "read_xi_header", xarea) &&
                    write_all(root / "uncompress_image", uncompress_seeds()) &&
                    write_all(root / "read_memory", tra) && write_all(root / "read_memory", xarea);
    return ok ? 0 : 1;
}
