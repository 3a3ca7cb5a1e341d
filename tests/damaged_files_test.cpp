// Truncation and mutation sweeps: well-formed files of both formats cut at every length that matters
// (each field boundary, a stride through the pixel data) and with single bytes of each header field
// changed. Every reader must then either load exactly what the bytes say or refuse the file cleanly,
// as the README's decisions for damaged files have it: the exact message, records untouched. The
// expected outcome of each file comes from an independent reading of the formats
// (support/reference.hpp), not from the library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plateio.h"
#include "support/console.hpp"
#include "support/guarded_bytes.hpp"
#include "support/reference.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "support/tra_exposure.hpp"
#include "synth.hpp"
#include "tra_writer.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cut(const Bytes &bytes, std::size_t length) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size())));
}

Bytes with_byte(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}

// The values a single byte is changed to: the extremes, its sign bit, and one step either way.
std::vector<std::uint8_t> byte_mutations(std::uint8_t original) {
    std::vector<std::uint8_t> values = {0x00, 0xff, static_cast<std::uint8_t>(original ^ 0x80),
                                        static_cast<std::uint8_t>(original + 1),
                                        static_cast<std::uint8_t>(original - 1)};
    values.erase(std::remove(values.begin(), values.end(), original), values.end());
    return values;
}

// A host's probe-then-read (the size asked for, then read) of the file and of the same bytes in
// memory, through `read(in_memory, array, capacity, frame)`: the read from memory gives the file's
// code, frame (but for the path, which it leaves empty) and array. Returns the file's.
template <class Element, class Read>
std::int32_t read_both_ways(Read read, plateio_frame &frame, std::vector<Element> &array) {
    std::int32_t codes[2];
    plateio_frame frames[2];
    std::vector<Element> arrays[2];
    for (const int in_memory : {0, 1}) {
        codes[in_memory] = read(in_memory != 0, nullptr, 0, &frames[in_memory]);
        if (codes[in_memory] == PLATEIO_E_CAPACITY) {
            const plateio_frame &f = frames[in_memory];
            arrays[in_memory].assign(static_cast<std::size_t>(f.width) * static_cast<std::size_t>(f.height),
                                     7);
            codes[in_memory] =
                read(in_memory != 0, arrays[in_memory].data(), arrays[in_memory].size(), &frames[in_memory]);
        }
    }
    frame = frames[0];
    EXPECT_EQ(codes[1], codes[0]) << frames[1].reason;
    std::memset(frames[0].info.path, 0, sizeof frames[0].info.path);
    EXPECT_TRUE(same_bytes(frames[1], frames[0])) << frames[1].reason << " | " << frames[0].reason;
    EXPECT_TRUE(arrays[1] == arrays[0]);
    array = std::move(arrays[0]);
    return codes[0];
}

// plateio_read on the same file, with each flag: nothing printed on either stream, whatever the bytes;
// a file the specified readers load (`marked`, `kept` their pixels, null when they refuse it) is read
// to exactly their pixels, unless it is told to be of the other family; one they refuse is refused
// with a code and a reason. The same bytes read from memory, right before an unreadable page, give
// the same results as the file, through plateio_read_mask too.
void check_quiet(const std::string &path, const Bytes &bytes, bool xarea,
                 const std::vector<std::int32_t> *marked, const std::vector<std::int32_t> *kept) {
    SCOPED_TRACE("plateio_read");
    const GuardedBytes memory(bytes);
    for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(PLATEIO_KEEP_SATURATED)}) {
        const std::vector<std::int32_t> *legacy = flags != 0 && !xarea ? kept : marked;
        plateio_frame frame;
        std::vector<std::int32_t> pixels;
        std::int32_t code = -1;
        EXPECT_EQ(capture_stdout_and_stderr([&] {
                      code = read_both_ways(
                          [&](bool in_memory, std::int32_t *out, std::size_t capacity, plateio_frame *into) {
                              return in_memory ? plateio_read_memory(memory.data(), memory.size(), out,
                                                                     capacity, into, flags)
                                               : plateio_read(path.c_str(), out, capacity, into, flags);
                          },
                          frame, pixels);
                  }),
                  "");
        const bool same_family = (frame.family == PLATEIO_FAMILY_XAREA) == xarea;
        if (code == PLATEIO_OK && same_family) {
            ASSERT_NE(legacy, nullptr) << "read a file the specified readers refuse";
            EXPECT_TRUE(pixels == *legacy);
        }
        if (legacy == nullptr && same_family) {
            EXPECT_NE(code, PLATEIO_OK);
        }
        if (legacy != nullptr && xarea) {
            EXPECT_EQ(code, PLATEIO_OK) << frame.reason;
        }
        EXPECT_EQ(code != PLATEIO_OK, frame.reason[0] != '\0' && frame.warnings == 0);
    }
    plateio_frame frame;
    std::vector<std::uint8_t> mask;
    read_both_ways(
        [&](bool in_memory, std::uint8_t *out, std::size_t capacity, plateio_frame *into) {
            return in_memory ? plateio_read_mask_memory(memory.data(), memory.size(), out, capacity, into)
                             : plateio_read_mask(path.c_str(), out, capacity, into);
        },
        frame, mask);
}

// ---- TRA ----------------------------------------------------------------------------------------

// The widest rows there are: row 0 and its mirror at half-width 600 (one table value odd).
Bytes full_rows() {
    writers::TraFile file;
    file.header = writers::tra_header({1.0, 2.0, 3.0, 4.0, 5.0});
    file.row_table[0] = 1201;
    for (std::size_t i = 0; i < writers::tra_stream_length(file.row_table); ++i) {
        file.stream.push_back(static_cast<std::uint16_t>(i % 11 == 0 ? 65535 : 65534 - i % 3000));
    }
    return writers::encode_tra(file);
}

// A fixed index map for read_az_tra: pixels spread over the cells, some dropped below and above.
const std::vector<std::int32_t> &remap_map() {
    static const std::vector<std::int32_t> map = [] {
        std::vector<std::int32_t> m(reference::kTraGridPixels);
        for (std::size_t i = 0; i < m.size(); ++i) {
            m[i] = static_cast<std::int32_t>((i * 7919) % 9100) - 50;
        }
        return m;
    }();
    return map;
}

// What the TRA readers do with `bytes`. `pixel_readers`: also read_az_tra in both grid modes.
void check_tra(const TempDir &dir, const Bytes &bytes, bool remap) {
    const std::string path = dir.write("damaged.tra", bytes);
    const reference::Bytes view(bytes);
    struct Variant {
        const char *name;
        std::int32_t (*read)(const char *, std::int32_t **, std::int32_t *, std::int32_t *);
        bool mark;
    };
    const auto marked = reference::tra_grid(view, true);
    const auto kept = reference::tra_grid(view, false);
    check_quiet(path, bytes, false, marked ? &*marked : nullptr, kept ? &*kept : nullptr);
    for (const Variant &v :
         {Variant{"read_tra", read_tra, true}, Variant{"read_short_tra", read_short_tra, false}}) {
        SCOPED_TRACE(v.name);
        const auto &expected = v.mark ? marked : kept;
        std::int32_t *pixels = untouched_pointer();
        std::int32_t width = -1;
        std::int32_t height = -2;
        std::int32_t result = -1;
        const std::string printed =
            capture_stdout([&] { result = v.read(path.c_str(), &pixels, &width, &height); });
        ASSERT_EQ(result, expected ? 1 : 0);
        if (expected) {
            EXPECT_EQ(printed, "");
            EXPECT_EQ(width, 1200);
            EXPECT_EQ(height, 1200);
            EXPECT_EQ(std::memcmp(pixels, expected->data(), expected->size() * 4), 0);
            std::free(pixels);
        } else {
            EXPECT_EQ(printed, reference::tra_failure(path, v.mark));
            EXPECT_EQ(pixels, untouched_pointer());
            EXPECT_EQ(width, -1);
            EXPECT_EQ(height, -2);
        }
    }
    {
        SCOPED_TRACE("read_tra_header");
        const image_info before = patterned<image_info>();
        const auto expected = reference::tra_header(view, path.c_str(), before);
        image_info info = before;
        std::int32_t result = -1;
        const std::string printed = capture_stdout([&] { result = read_tra_header(path.c_str(), &info); });
        EXPECT_EQ(result, expected ? 1 : 0);
        EXPECT_EQ(printed, expected ? "" : reference::tra_failure(path, false));
        EXPECT_TRUE(same_bytes(info, expected ? *expected : before));
    }
    if (!remap) {
        return;
    }
    for (const std::int32_t grid_mode : {600, 1200}) {
        SCOPED_TRACE("read_az_tra, grid_mode " + std::to_string(grid_mode));
        std::vector<std::int32_t> cells(9000, -7);
        std::vector<std::int32_t> expected_cells = cells;
        std::vector<std::int32_t> scratch;
        std::int32_t overloads = 0;
        const bool loads =
            reference::remap_into(view, grid_mode, remap_map().data(), expected_cells, overloads, scratch);
        remap_target before = patterned<remap_target>();
        before.cells = cells.data();
        before.grid_mode = grid_mode;
        before.cell_count = static_cast<std::int32_t>(cells.size());
        before.aux_value = 42.5;
        remap_target target = before;
        std::int32_t *map = const_cast<std::int32_t *>(remap_map().data());
        std::int32_t result = -1;
        const std::string printed =
            capture_stdout([&] { result = read_az_tra(path.c_str(), &target, &map); });
        EXPECT_EQ(result, loads ? 1 : 0);
        EXPECT_EQ(printed, loads ? "" : reference::tra_failure(path, false));
        remap_target after = before;
        after.overload_count = loads ? overloads : 0;
        after.aux_value = loads ? 0.0 : 42.5;
        EXPECT_TRUE(same_bytes(target, after));
        EXPECT_EQ(cells, expected_cells);
    }
}

// Lengths at which a TRA file is cut: within and at the end of every header field, of every row-table
// value, and through the stream.
std::vector<std::size_t> tra_cuts(std::size_t full_length) {
    std::vector<std::size_t> cuts = {0,   1,   113, 114, 115, 116, 117, 119, 120, 123, 124,
                                     132, 140, 148, 156, 158, 160, 162, 166, 170, 174, 178,
                                     186, 193, 194, 197, 198, 200, 202, 203, 204, 205, 335};
    for (std::size_t at = 336; at <= 1536; ++at) {
        cuts.push_back(at);
    }
    for (std::size_t at = 1537; at < full_length; at += 97) {
        cuts.push_back(at);
    }
    for (std::size_t back = 1; back <= 3 && back < full_length; ++back) {
        cuts.push_back(full_length - back);
    }
    cuts.erase(std::remove_if(cuts.begin(), cuts.end(), [&](std::size_t c) { return c >= full_length; }),
               cuts.end());
    return cuts;
}

struct TraFileCase {
    const char *name;
    Bytes bytes;
};

std::vector<TraFileCase> tra_files() {
    return {{"small plate", small_plate(64, 1)}, {"full rows", full_rows()}};
}

TEST(DamagedTraFiles, EveryCutIsRefusedOrReadExactly) {
    TempDir dir;
    for (const TraFileCase &f : tra_files()) {
        SCOPED_TRACE(f.name);
        // The whole file, and with bytes after its stream, load; every shorter one is refused.
        check_tra(dir, f.bytes, true);
        Bytes longer = f.bytes;
        longer.insert(longer.end(), {9, 8, 7});
        check_tra(dir, longer, true);
        for (const std::size_t length : tra_cuts(f.bytes.size())) {
            SCOPED_TRACE("cut at " + std::to_string(length));
            // read_az_tra refuses these exactly as read_tra does; its own sweep runs where they load.
            check_tra(dir, cut(f.bytes, length), length % 101 == 0);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(DamagedTraFiles, EveryHeaderFieldMutated) {
    TempDir dir;
    const Bytes plate = small_plate(32, 2);
    // Every byte of the five values the header reader decodes, and bytes of the fields no reader uses.
    std::vector<std::size_t> offsets = {0,   57,  113, 114, 115, 124, 131, 156,
                                        160, 162, 174, 198, 202, 203, 204, 335};
    for (const std::size_t first : {116, 140, 178, 186, 194}) {
        for (std::size_t k = 0; k < (first == 194 ? 4u : 8u); ++k) {
            offsets.push_back(first + k);
        }
    }
    for (const std::size_t at : offsets) {
        for (const std::uint8_t value : byte_mutations(plate[at])) {
            SCOPED_TRACE("byte " + std::to_string(at) + " = " + std::to_string(value));
            // The pixel readers skip the header whole: they load the same grid whatever it holds.
            check_tra(dir, with_byte(plate, at, value), at % 7 == 0);
        }
    }
}

TEST(DamagedTraFiles, EveryRowTableValueMutated) {
    TempDir dir;
    const Bytes plate = small_plate(32, 3);
    // Rows with a span and rows without, the mirrored pair at the centre, and the table's ends.
    for (const std::size_t row : {0, 1, 283, 284, 300, 583, 584, 598, 599}) {
        const std::size_t at = 336 + 2 * row;
        const std::uint16_t original = static_cast<std::uint16_t>(plate[at] | (plate[at + 1] << 8));
        std::vector<std::uint16_t> values = {0,
                                             1,
                                             static_cast<std::uint16_t>(original | 1),
                                             static_cast<std::uint16_t>(original + 2),
                                             static_cast<std::uint16_t>(original - 2),
                                             1200,
                                             1201,
                                             1202,
                                             1203,
                                             0x8000,
                                             0xffff};
        for (const std::uint16_t value : values) {
            SCOPED_TRACE("row " + std::to_string(row) + " = " + std::to_string(value));
            Bytes mutated = with_byte(plate, at, static_cast<std::uint8_t>(value & 0xff));
            mutated[at + 1] = static_cast<std::uint8_t>(value >> 8);
            check_tra(dir, mutated, value == 1201 || value == 1202 || row == 300);
        }
    }
}

// ---- X-Area -------------------------------------------------------------------------------------

writers::ExposureValues xarea_values(std::int32_t threshold) {
    writers::ExposureValues values;
    values.geometry = {80.0, 0.25, 0.5, 0.7107, 250.0, 1.5, 3.0, 1.0, 2.0};
    values.setting = 7;
    values.overflow_threshold = threshold;
    values.scale_value = 0.85;
    return values;
}

std::vector<std::int32_t> xarea_picture(std::int32_t width, std::int32_t height, std::uint64_t seed) {
    writers::SynthSettings settings;
    settings.width = width;
    settings.height = height;
    settings.seed = seed;
    settings.ceiling = 3000000;
    return writers::synth_exposure(settings);
}

// What readXImage, read_xi and read_xi_header do with `bytes`.
void check_xarea(const TempDir &dir, const Bytes &bytes) {
    const std::string path = dir.write("damaged.xa", bytes);
    const reference::Bytes view(bytes);
    {
        SCOPED_TRACE("readXImage");
        const reference::Container expected = reference::container(view);
        const xi_header before = patterned<xi_header>();
        xi_header header = before;
        void *block = untouched_pointer();
        std::int32_t result = -1;
        const std::string printed =
            capture_stdout([&] { result = readXImage(path.c_str(), &header, &block); });
        EXPECT_EQ(result, expected.result);
        EXPECT_EQ(printed, expected.printed);
        if (result == 1) {
            EXPECT_TRUE(expected.block.empty() ||
                        std::memcmp(block, expected.block.data(), expected.block.size()) == 0);
            // The block decoded as it is handed out: nothing behind the entry is taken for a code.
            const reference::Uncompressed decoded = reference::uncompress(header, expected.block);
            EXPECT_EQ(capture_stdout([&] { uncompressImage(&header, &block); }), decoded.printed);
            if (decoded.replaced) {
                const auto *pixels = static_cast<const std::int32_t *>(block);
                EXPECT_TRUE(std::equal(decoded.pixels.begin(), decoded.pixels.end(), pixels));
                // The pixels without a code are 0: every one, or a sample of a huge array's zero pages.
                const std::size_t rest = decoded.pixel_count - decoded.pixels.size();
                const std::size_t step = rest <= (std::size_t{1} << 16) ? 1 : rest / 4096;
                for (std::size_t i = decoded.pixels.size(); i < decoded.pixel_count; i += step) {
                    ASSERT_EQ(pixels[i], 0) << "pixel " << i;
                }
            }
            std::free(block);
        } else {
            EXPECT_EQ(block, expected.block_reset ? nullptr : static_cast<void *>(untouched_pointer()));
        }
        if (expected.header_after == reference::HeaderAfter::untouched) {
            EXPECT_TRUE(same_bytes(header, before));
        } else if (expected.header_after == reference::HeaderAfter::read) {
            EXPECT_EQ(std::memcmp(&header, expected.header.data(), sizeof header), 0);
        }
    }
    const reference::Import expected = reference::import(view, path);
    check_quiet(path, bytes, bytes.size() >= 11 && std::memcmp(bytes.data(), "STOE_XFILE", 11) == 0,
                expected.result == 1 ? &expected.marked : nullptr, nullptr);
    {
        SCOPED_TRACE("read_xi");
        const pixel_image image_before = patterned<pixel_image>();
        reduction_params params_before = patterned<reduction_params>();
        params_before.geometry2 = PLATEIO_UNSET;
        pixel_image image = image_before;
        reduction_params params = params_before;
        std::int32_t result = -1;
        const std::string printed = capture_stdout([&] { result = read_xi(path.c_str(), &image, &params); });
        EXPECT_EQ(result, expected.result);
        EXPECT_EQ(printed, expected.printed);
        pixel_image image_after = image_before;
        reduction_params params_after = params_before;
        if (result == 1) {
            reference::apply_read_xi(expected, image_after, params_after);
            image_after.pixels = image.pixels;
            EXPECT_TRUE(expected.marked.empty() ||
                        std::memcmp(image.pixels, expected.marked.data(), expected.marked.size() * 4) == 0);
            std::free(image.pixels);
        }
        EXPECT_TRUE(same_bytes(image, image_after));
        EXPECT_TRUE(same_bytes(params, params_after));
    }
    {
        SCOPED_TRACE("read_xi_header");
        const reference::Import described = reference::header_import(view, path);
        const image_info before = patterned<image_info>();
        image_info info = before;
        std::int32_t result = -1;
        const std::string printed = capture_stdout([&] { result = read_xi_header(path.c_str(), &info); });
        EXPECT_EQ(result, described.result);
        EXPECT_EQ(printed, described.printed);
        const image_info after =
            result == 1 ? reference::applied_read_xi_header(described, before, path.c_str()) : before;
        EXPECT_TRUE(same_bytes(info, after));
    }
}

struct XAreaFileCase {
    const char *name;
    Bytes bytes;
};

std::vector<XAreaFileCase> xarea_files() {
    const auto plain = xarea_picture(24, 16, 11);
    const auto coded = xarea_picture(33, 17, 12); // odd: the 32-bit values start at an odd byte
    // The pixel entry's data first, the header entry's last, and an entry of another name between.
    writers::XiContainer reversed;
    xi_header header = writers::make_xi_header(12, 10, 0);
    writers::set_field(header.overflow_threshold, 20000);
    reversed.entries.push_back({"XArea_Image", writers::plain_block(xarea_picture(12, 10, 13)), {}, {}});
    reversed.entries.push_back({"XArea_Other", {1, 2, 3, 4}, {}, {}});
    reversed.entries.push_back({"XArea_ImgHdr", writers::record_bytes(header), {}, {}});
    return {
        {"plain", writers::synth_xarea_file(plain, 24, 16, xarea_values(20000), false)},
        {"difference-coded", writers::synth_xarea_file(coded, 33, 17, xarea_values(50000), true)},
        {"pixel entry first", writers::encode_xarea(reversed)},
    };
}

// Where the header entry's data starts: the offset field of its table entry.
std::size_t header_entry_at(const Bytes &file) {
    const std::int32_t count = reference::i32_at(file, 72);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t at = 104 + 40 * static_cast<std::size_t>(i);
        if (std::memcmp(file.data() + at, "XArea_ImgHdr", 13) == 0) {
            return static_cast<std::size_t>(reference::i32_at(file, at + 36));
        }
    }
    return 0;
}

// The starts of the header record's fields, and its end.
const std::size_t kRecordFields[] = {0,   16,  20,  24,  28,  96,  100, 104, 108, 152, 160, 176, 184, 200,
                                     208, 216, 224, 232, 240, 328, 332, 336, 344, 348, 352, 356, 411, 412};

TEST(DamagedXAreaFiles, EveryCutIsRefusedOrReadExactly) {
    TempDir dir;
    for (const XAreaFileCase &f : xarea_files()) {
        SCOPED_TRACE(f.name);
        check_xarea(dir, f.bytes);
        std::vector<std::size_t> cuts;
        // Every byte of the file header and the table of contents.
        const std::size_t toc_end = 104 + 40 * static_cast<std::size_t>(reference::i32_at(f.bytes, 72));
        for (std::size_t at = 0; at <= toc_end; ++at) {
            cuts.push_back(at);
        }
        // Each field boundary of the header record, and one byte either side.
        const std::size_t record = header_entry_at(f.bytes);
        for (const std::size_t field : kRecordFields) {
            for (const std::size_t at : {record + field - 1, record + field, record + field + 1}) {
                cuts.push_back(at);
            }
        }
        // A stride through everything, and the last bytes.
        for (std::size_t at = toc_end; at < f.bytes.size(); at += 37) {
            cuts.push_back(at);
        }
        for (std::size_t back = 1; back <= 5; ++back) {
            cuts.push_back(f.bytes.size() - back);
        }
        for (const std::size_t length : cuts) {
            if (length >= f.bytes.size()) {
                continue;
            }
            SCOPED_TRACE("cut at " + std::to_string(length));
            check_xarea(dir, cut(f.bytes, length));
        }
    }
}

TEST(DamagedXAreaFiles, EveryContainerFieldMutated) {
    TempDir dir;
    for (const XAreaFileCase &f : xarea_files()) {
        SCOPED_TRACE(f.name);
        std::vector<std::size_t> offsets;
        for (std::size_t at = 0; at < 11; ++at) { // the magic and its zero byte
            offsets.push_back(at);
        }
        for (std::size_t at = 72; at < 76; ++at) { // entry_count
            offsets.push_back(at);
        }
        const std::size_t entries = static_cast<std::size_t>(reference::i32_at(f.bytes, 72));
        for (std::size_t e = 0; e < entries; ++e) {
            const std::size_t entry = 104 + 40 * e;
            for (const std::size_t k : {0, 6, 10, 11, 12, 13, 23}) { // name: letters, the zero, beyond
                offsets.push_back(entry + k);
            }
            for (std::size_t k = 24; k < 28; ++k) { // length
                offsets.push_back(entry + k);
            }
            for (std::size_t k = 36; k < 40; ++k) { // offset
                offsets.push_back(entry + k);
            }
        }
        for (const std::size_t at : offsets) {
            for (const std::uint8_t value : byte_mutations(f.bytes[at])) {
                SCOPED_TRACE("byte " + std::to_string(at) + " = " + std::to_string(value));
                check_xarea(dir, with_byte(f.bytes, at, value));
            }
        }
    }
}

TEST(DamagedXAreaFiles, EveryHeaderRecordFieldMutated) {
    TempDir dir;
    for (const XAreaFileCase &f : xarea_files()) {
        SCOPED_TRACE(f.name);
        const std::size_t record = header_entry_at(f.bytes);
        // Each byte of the fields the readers interpret (compression, size, the counts, the threshold,
        // the values passed through), and bytes carried along uninterpreted.
        std::vector<std::size_t> fields = {0, 15, 95, 240, 357, 411};
        for (const std::size_t first : {16, 20, 24, 96, 332, 344, 348, 352}) {
            for (std::size_t k = 0; k < 4; ++k) {
                fields.push_back(first + k);
            }
        }
        for (const std::size_t first : {152, 176, 200, 216, 224, 232, 336}) {
            fields.push_back(first + 6);
            fields.push_back(first + 7);
        }
        for (const std::size_t field : fields) {
            const std::size_t at = record + field;
            for (const std::uint8_t value : byte_mutations(f.bytes[at])) {
                SCOPED_TRACE("record byte " + std::to_string(field) + " = " + std::to_string(value));
                check_xarea(dir, with_byte(f.bytes, at, value));
            }
        }
    }
}

// The pixel entry ends at every byte of its sections and one past: codes missing, a 16-bit or 32-bit
// value cut through, sections that end early, and the whole entry.
TEST(DamagedXAreaFiles, EveryPixelEntryLength) {
    TempDir dir;
    const auto coded = writers::compress_pixels(xarea_picture(11, 3, 21)); // odd: values at odd bytes
    ASSERT_GT(coded.delta16_count, 0);
    ASSERT_GT(coded.delta32_count, 0);
    xi_header header = writers::make_xi_header(11, 3, 1);
    writers::set_field(header.delta16_count, coded.delta16_count);
    writers::set_field(header.delta32_count, coded.delta32_count);
    writers::set_field(header.overflow_threshold, 20000);
    const Bytes plain = writers::plain_block(xarea_picture(5, 2, 22));
    struct Entry {
        const char *name;
        xi_header header;
        const Bytes &block;
    };
    for (const Entry &e :
         {Entry{"coded", header, coded.bytes}, Entry{"plain", writers::make_xi_header(5, 2, 0), plain}}) {
        for (std::size_t length = 0; length <= e.block.size() + 1; ++length) {
            SCOPED_TRACE(std::string(e.name) + " entry of " + std::to_string(length) + " bytes");
            Bytes block = cut(e.block, length);
            block.resize(length, 0x7f);
            writers::XiContainer container;
            container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(e.header), {}, {}});
            container.entries.push_back({"XArea_Image", block, {}, {}});
            check_xarea(dir, writers::encode_xarea(container));
        }
    }
}

// A pixel entry of length 0 reads nothing, so where it starts does not matter, as for the header entry.
TEST(DamagedXAreaFiles, EmptyPixelEntryPastTheEndOfTheFileIsAnEmptyBlock) {
    TempDir dir;
    writers::XiContainer container;
    container.entries.push_back(
        {"XArea_ImgHdr", writers::record_bytes(writers::make_xi_header(0, 0, 0)), {}, {}});
    container.entries.push_back({"XArea_Image", {}, {}, 1 << 20});
    const std::string path = dir.write("empty.xa", writers::encode_xarea(container));
    xi_header header;
    void *block = nullptr;
    std::int32_t result = -1;
    EXPECT_EQ(capture_stdout([&] { result = readXImage(path.c_str(), &header, &block); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_NE(block, nullptr);
    std::free(block);
    check_xarea(dir, writers::encode_xarea(container));
}

} // namespace
} // namespace plateio::test
