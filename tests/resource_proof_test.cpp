// Every reader, on every path out of it, a thousand times: the process's open descriptors and heap in
// use come back to where they started (the blocks handed to the test are freed by it).
//
// The paths already run a thousand times elsewhere are not repeated here: read_tra and
// read_short_tra on a good, a short and a missing file (tra_readers_test), read_az_tra on the same in
// both grid modes (tra_remap_test), readXImage on a good file, one without pixel entry, one whose
// pixel entry is cut, one whose table is cut, and a missing one (xarea_container_test), read_xi and
// read_xi_header on plain, coded, short-block, non-X-Area and missing files (xarea_import_test).
// Below is every other path of every reader.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "plateio.h"
#include "support/console.hpp"
#include "support/reference.hpp"
#include "support/temp_dir.hpp"
#include "synth.hpp"
#include "tra_writer.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One path out of one reader: the call, and the result that shows the path was taken.
struct Path {
    const char *name;
    std::function<std::int32_t()> call;
    std::int32_t result;
};

// ---- Files --------------------------------------------------------------------------------------

Bytes tra_file(std::uint16_t row0, std::size_t stream_values) {
    writers::TraFile file;
    file.header = writers::tra_header({1, 2, 3, 4, 5});
    file.row_table[0] = row0;
    file.stream.assign(stream_values, 65535);
    return writers::encode_tra(file);
}

std::vector<std::int32_t> picture(std::int32_t width, std::int32_t height) {
    writers::SynthSettings settings;
    settings.width = width;
    settings.height = height;
    settings.ceiling = 3000000;
    return writers::synth_exposure(settings);
}

Bytes container(const xi_header &header, Bytes block,
                const std::function<void(writers::XiContainer &)> &change = {}) {
    writers::XiContainer c;
    c.entries.push_back({"XArea_ImgHdr", writers::record_bytes(header), {}, {}});
    c.entries.push_back({"XArea_Image", std::move(block), {}, {}});
    if (change) {
        change(c);
    }
    return writers::encode_xarea(c);
}

struct Coded {
    xi_header header;
    Bytes block;
};

Coded coded_exposure() {
    const writers::CompressedBlock coded = writers::compress_pixels(picture(30, 20));
    xi_header header = writers::make_xi_header(30, 20, 1);
    writers::set_field(header.overflow_threshold, 20000);
    writers::set_field(header.delta16_count, coded.delta16_count);
    writers::set_field(header.delta32_count, coded.delta32_count);
    return {header, coded.bytes};
}

// ---- Readers ------------------------------------------------------------------------------------

Path tra_path(const char *name,
              std::int32_t (*read)(const char *, std::int32_t **, std::int32_t *, std::int32_t *),
              const std::string &file, std::int32_t result) {
    return {name,
            [read, file] {
                std::int32_t *pixels = nullptr;
                std::int32_t width = 0;
                std::int32_t height = 0;
                const std::int32_t r = read(file.c_str(), &pixels, &width, &height);
                if (r == 1) {
                    std::free(pixels);
                }
                return r;
            },
            result};
}

Path az_path(const char *name, const std::string &file, std::int32_t grid_mode, std::int32_t result) {
    return {name,
            [file, grid_mode] {
                static const std::vector<std::int32_t> map(reference::kTraGridPixels, 3);
                std::vector<std::int32_t> cells(8, 0);
                remap_target target{};
                target.cells = cells.data();
                target.grid_mode = grid_mode;
                target.cell_count = 8;
                std::int32_t *map_pointer = const_cast<std::int32_t *>(map.data());
                return read_az_tra(file.c_str(), &target, &map_pointer);
            },
            result};
}

Path tra_header_path(const char *name, const std::string &file, std::int32_t result) {
    return {name,
            [file] {
                image_info info{};
                return read_tra_header(file.c_str(), &info);
            },
            result};
}

Path ximage_path(const char *name, const std::string &file, std::int32_t result) {
    return {name,
            [file] {
                xi_header header;
                void *block = nullptr;
                const std::int32_t r = readXImage(file.c_str(), &header, &block);
                if (r == 1) {
                    std::free(block);
                }
                return r;
            },
            result};
}

Path read_xi_path(const char *name, const std::string &file, std::int32_t result) {
    return {name,
            [file] {
                pixel_image image{};
                reduction_params params{};
                params.geometry2 = PLATEIO_UNSET;
                const std::int32_t r = read_xi(file.c_str(), &image, &params);
                if (r == 1) {
                    std::free(image.pixels);
                }
                return r;
            },
            result};
}

Path read_xi_header_path(const char *name, const std::string &file, std::int32_t result) {
    return {name,
            [file] {
                image_info info{};
                return read_xi_header(file.c_str(), &info);
            },
            result};
}

// uncompressImage on a copy of `block` in a new malloc'd block; 1 when the block was replaced.
Path uncompress_path(const char *name, const xi_header &header, const Bytes &block, std::int32_t result) {
    return {name,
            [header, block] {
                void *given = std::malloc(block.size());
                std::memcpy(given, block.data(), block.size());
                void *pointer = given;
                uncompressImage(&header, &pointer);
                const std::int32_t replaced = pointer != given ? 1 : 0;
                std::free(pointer);
                return replaced;
            },
            result};
}

TEST(ResourceProof, EveryPathOfEveryReaderAThousandTimes) {
    TempDir dir;
    const std::string good_tra = dir.write("good.tra", tra_file(20, 40));
    const std::string too_wide = dir.write("wide.tra", tra_file(1202, 4 * 601));
    const std::string stream_cut = dir.write("cut.tra", tra_file(20, 39));
    const std::string header_short = dir.write("header.tra", Bytes(203, 1));
    const std::string missing = dir.file("missing");
    const std::string long_path = "/" + std::string(PLATEIO_PATH_CAPACITY, 'p');

    const Coded coded = coded_exposure();
    xi_header plain_header = writers::make_xi_header(30, 20, 0);
    const Bytes plain_block = writers::plain_block(picture(30, 20));
    xi_header mismatched = coded.header;
    writers::set_field(mismatched.delta32_count, writers::get_field(coded.header.delta32_count) + 1);
    Bytes mismatched_block = coded.block;
    mismatched_block.insert(mismatched_block.end(), 4, 0); // the counted value is there; no code takes it
    const xi_header negative = writers::make_xi_header(-30, 20, 0);
    const xi_header huge = writers::make_xi_header(INT_MAX, INT_MAX, 0);
    const xi_header beyond_int32 = writers::make_xi_header(65536, 65536, 0);
    Bytes coded_short = coded.block;
    coded_short.pop_back();

    const auto xa = [&](const char *name, const Bytes &bytes) { return dir.write(name, bytes); };
    const std::string mismatch_xa = xa("mismatch.xa", container(mismatched, mismatched_block));
    const std::string coded_short_xa = xa("coded_short.xa", container(coded.header, coded_short));
    const std::string negative_xa = xa("negative.xa", container(negative, plain_block));
    const std::string huge_xa = xa("huge.xa", container(huge, plain_block));
    const std::string int32_xa = xa("int32.xa", container(beyond_int32, plain_block));
    const std::string no_stoe = xa("nostoe.xa", Bytes(200, 0));
    const std::string no_memory =
        xa("nomem.xa", container(plain_header, plain_block, [](auto &c) { c.entry_count = -1; }));
    const std::string no_header = xa(
        "nohdr.xa", container(plain_header, plain_block, [](auto &c) { c.entries[0].name = "XArea_ImgHd"; }));
    const std::string seek_header =
        xa("seekhdr.xa", container(plain_header, plain_block, [](auto &c) { c.entries[0].offset = -4; }));
    const std::string header_cut =
        xa("hdrcut.xa", container(plain_header, plain_block, [](auto &c) { c.entries[0].offset = 1 << 20; }));
    const std::string seek_data =
        xa("seekdata.xa", container(plain_header, plain_block, [](auto &c) { c.entries[1].offset = -1; }));
    const std::string negative_length =
        xa("neglen.xa", container(plain_header, plain_block, [](auto &c) { c.entries[1].length = -1; }));

    const std::vector<Path> paths = {
        tra_path("read_tra, row wider than the grid", read_tra, too_wide, 0),
        tra_path("read_tra, stream cut", read_tra, stream_cut, 0),
        tra_path("read_short_tra, row wider than the grid", read_short_tra, too_wide, 0),
        tra_path("read_short_tra, stream cut", read_short_tra, stream_cut, 0),
        az_path("read_az_tra 600, row wider than the grid", too_wide, 600, 0),
        az_path("read_az_tra 1200, row wider than the grid", too_wide, 1200, 0),
        az_path("read_az_tra 600, stream cut", stream_cut, 600, 0),
        az_path("read_az_tra 1200, stream cut", stream_cut, 1200, 0),
        tra_header_path("read_tra_header, good", good_tra, 1),
        tra_header_path("read_tra_header, shorter than 204 bytes", header_short, 0),
        tra_header_path("read_tra_header, missing", missing, 0),
        tra_header_path("read_tra_header, path too long", long_path, 0),
        ximage_path("readXImage, no stoe xfile", no_stoe, 0),
        ximage_path("readXImage, no memory", no_memory, 0),
        ximage_path("readXImage, no image header", no_header, 0),
        ximage_path("readXImage, bad seek for image header", seek_header, 0),
        ximage_path("readXImage, header entry cut", header_cut, 0),
        ximage_path("readXImage, bad seek for image data", seek_data, 0),
        ximage_path("readXImage, negative pixel length", negative_length, 0),
        uncompress_path("uncompressImage, decoded", coded.header, coded.block, 1),
        uncompress_path("uncompressImage, counts disagree", mismatched, mismatched_block, 1),
        uncompress_path("uncompressImage, block cut", coded.header, coded_short, 1),
        uncompress_path("uncompressImage, not coded", plain_header, plain_block, 0),
        uncompress_path(
            "uncompressImage, negative width",
            [&] {
                xi_header h = coded.header;
                writers::set_field(h.width, -1);
                return h;
            }(),
            coded.block, 0),
        uncompress_path(
            "uncompressImage, beyond the platform",
            [&] {
                xi_header h = coded.header;
                writers::set_field(h.width, INT_MAX);
                writers::set_field(h.height, INT_MAX);
                return h;
            }(),
            coded.block, 0),
        read_xi_path("read_xi, counts disagree", mismatch_xa, 1),
        read_xi_path("read_xi, coded block cut", coded_short_xa, 0),
        read_xi_path("read_xi, negative width", negative_xa, 0),
        read_xi_path("read_xi, size beyond the platform", huge_xa, 0),
        read_xi_path("read_xi, size beyond an int32", int32_xa, 0),
        read_xi_path("read_xi, no memory for the table", no_memory, 0),
        read_xi_path("read_xi, header entry cut", header_cut, 0),
        read_xi_path("read_xi, bad seek for image data", seek_data, 0),
        read_xi_header_path("read_xi_header, counts disagree", mismatch_xa, 1),
        read_xi_header_path("read_xi_header, coded block cut", coded_short_xa, 1),
        read_xi_header_path("read_xi_header, negative width", negative_xa, 1),
        read_xi_header_path("read_xi_header, size beyond the platform", huge_xa, 1),
        read_xi_header_path("read_xi_header, no image header", no_header, 0),
        read_xi_header_path("read_xi_header, path too long", long_path, 0),
    };

    for (const Path &p : paths) {
        SCOPED_TRACE(p.name);
        // The path is the one named: its result, once; and the C library's once-only state is taken.
        std::int32_t result = -1;
        capture_stdout([&] { result = p.call(); });
        ASSERT_EQ(result, p.result);
    }
    const int descriptors = open_descriptor_count();
    const std::size_t heap = heap_in_use();
    capture_stdout([&] {
        for (int i = 0; i < 1000; ++i) {
            for (const Path &p : paths) {
                p.call();
            }
        }
    });
    EXPECT_EQ(open_descriptor_count(), descriptors);
    EXPECT_EQ(heap_in_use(), heap);
}

} // namespace
} // namespace plateio::test
