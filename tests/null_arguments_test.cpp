// Every exported function given a NULL where it needs a pointer: a reader refuses with its own message
// (a NULL path shown as "(null)") and writes nothing, the decoder and the transforms do nothing, the
// quiet functions answer PLATEIO_E_ARGUMENT. Each call runs in a child process, so that a crash is a
// failed case rather than the end of the test program.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "plateio.h"
#include "support/child.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "support/tra_exposure.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

// The value a call leaves when it wrote something it should not have.
constexpr int kWrote = 99;

struct Case {
    const char *name;
    std::function<int(const std::string &tra, const std::string &xa)> call; // the result, or kWrote
    std::string printed; // "@T" and "@X" stand for the paths of the TRA and the X-Area file
    int result;
};

const std::string kTraError = "# \x1b[0mERROR\x1b[0m READING ";
const std::string kImportError = "# \x1b[31;1mERROR\x1b[0m READING ";

template <class Record> int untouched(int result, const Record &record) {
    return same_bytes(record, patterned<Record>()) ? result : kWrote;
}

std::vector<Case> cases() {
    using S = const std::string &;
    return {
        {"read_tra, NULL path",
         [](S, S) {
             std::int32_t *p = untouched_pointer();
             std::int32_t w = -1, h = -1;
             const int r = read_tra(nullptr, &p, &w, &h);
             return p == untouched_pointer() && w == -1 && h == -1 ? r : kWrote;
         },
         kTraError + "(null) returning 0\n", 0},
        {"read_tra, NULL image pointer",
         [](S tra, S) {
             std::int32_t w = -1, h = -1;
             const int r = read_tra(tra.c_str(), nullptr, &w, &h);
             return w == -1 && h == -1 ? r : kWrote;
         },
         kTraError + "@T returning 0\n", 0},
        {"read_short_tra, NULL height",
         [](S tra, S) {
             std::int32_t *p = untouched_pointer();
             std::int32_t w = -1;
             const int r = read_short_tra(tra.c_str(), &p, &w, nullptr);
             return p == untouched_pointer() && w == -1 ? r : kWrote;
         },
         kTraError + "@T\n", 0},
        {"read_tra_header, NULL path",
         [](S, S) {
             image_info info = patterned<image_info>();
             return untouched(read_tra_header(nullptr, &info), info);
         },
         kTraError + "(null)\n", 0},
        {"read_tra_header, NULL record", [](S tra, S) { return read_tra_header(tra.c_str(), nullptr); },
         kTraError + "@T\n", 0},
        {"read_az_tra, NULL path",
         [](S, S) {
             remap_target target = patterned<remap_target>();
             std::int32_t *map = untouched_pointer();
             const int r = read_az_tra(nullptr, &target, &map);
             // Reset at the start of every call, as for a file that cannot be opened.
             target.overload_count = patterned<remap_target>().overload_count;
             return untouched(r, target);
         },
         kTraError + "(null)\n", 0},
        {"read_az_tra, NULL target",
         [](S tra, S) {
             std::int32_t *map = untouched_pointer();
             return read_az_tra(tra.c_str(), nullptr, &map);
         },
         kTraError + "@T\n", 0},
        {"read_az_tra, NULL map",
         [](S tra, S) {
             std::vector<std::int32_t> cells(4, 5);
             remap_target target{cells.data(), 600, 4, 7, 1.5};
             std::int32_t *map = nullptr;
             const int r =
                 read_az_tra(tra.c_str(), &target, &map) + read_az_tra(tra.c_str(), &target, nullptr);
             return cells == std::vector<std::int32_t>(4, 5) && target.aux_value == 1.5 ? r : kWrote;
         },
         kTraError + "@T\n" + kTraError + "@T\n", 0},
        {"read_az_tra, NULL cells",
         [](S tra, S) {
             remap_target target{nullptr, 600, 4, 7, 1.5};
             std::int32_t map_entry = 0;
             std::int32_t *map = &map_entry;
             const int r = read_az_tra(tra.c_str(), &target, &map);
             return target.aux_value == 1.5 ? r : kWrote;
         },
         kTraError + "@T\n", 0},
        {"readXImage, NULL path, record or block pointer",
         [](S, S xa) {
             xi_header header = patterned<xi_header>();
             void *block = untouched_pointer();
             const int r = readXImage(nullptr, &header, &block) + readXImage(xa.c_str(), nullptr, &block) +
                           readXImage(xa.c_str(), &header, nullptr);
             return block == untouched_pointer() ? untouched(r, header) : kWrote;
         },
         " readXImage(): unable to open file  readXImage(): unable to open file  readXImage(): unable to "
         "open file ",
         0},
        {"uncompressImage, NULL record, block pointer or block",
         [](S, S) {
             xi_header header = writers::make_xi_header(2, 1, 1);
             void *block = nullptr;
             uncompressImage(nullptr, &block);
             uncompressImage(&header, nullptr);
             uncompressImage(&header, &block);
             return block == nullptr ? 1 : kWrote;
         },
         "", 1},
        {"read_xi, NULL path",
         [](S, S) {
             pixel_image image = patterned<pixel_image>();
             reduction_params params = patterned<reduction_params>();
             const int r = read_xi(nullptr, &image, &params);
             return same_bytes(params, patterned<reduction_params>()) ? untouched(r, image) : kWrote;
         },
         kImportError + "(null)\n", 0},
        {"read_xi, NULL records",
         [](S, S xa) {
             pixel_image image = patterned<pixel_image>();
             reduction_params params = patterned<reduction_params>();
             const int r = read_xi(xa.c_str(), nullptr, &params) + read_xi(xa.c_str(), &image, nullptr);
             return same_bytes(params, patterned<reduction_params>()) ? untouched(r, image) : kWrote;
         },
         kImportError + "@X\n" + kImportError + "@X\n", 0},
        {"read_xi_header, NULL path or record",
         [](S, S xa) {
             image_info info = patterned<image_info>();
             return untouched(read_xi_header(nullptr, &info) + read_xi_header(xa.c_str(), nullptr), info);
         },
         kImportError + "(null)\n" + kImportError + "@X\n", 0},
        {"correct_cry and anti_correct, NULL point or parameters",
         [](S, S) {
             double point[2] = {3, 4};
             const geometry_params params{};
             correct_cry(nullptr, &params, 200);
             correct_cry(point, nullptr, 200);
             anti_correct(nullptr, &params, 200);
             anti_correct(point, nullptr, 200);
             plateio_correct_points(nullptr, 3, &params, 200, 0);
             plateio_correct_points(point, 1, nullptr, 200, 1);
             return point[0] == 3 && point[1] == 4 ? 1 : kWrote;
         },
         "", 1},
        {"convert_8_to_double and convert_4_to_int, NULL field",
         [](S, S) {
             return convert_8_to_double(nullptr) == 0.0 && convert_4_to_int(nullptr) == 0 ? 1 : kWrote;
         },
         "", 1},
        {"the quiet functions, NULL path, bytes, frame or array",
         [](S tra, S) {
             plateio_frame frame;
             std::int32_t pixels[4];
             std::uint8_t mask[4];
             const bool arguments =
                 plateio_probe(nullptr, &frame) == PLATEIO_E_ARGUMENT && frame.reason[0] != '\0' &&
                 plateio_probe(tra.c_str(), nullptr) == PLATEIO_E_ARGUMENT &&
                 plateio_read(nullptr, pixels, 4, &frame, 0) == PLATEIO_E_ARGUMENT &&
                 plateio_read(tra.c_str(), pixels, 4, nullptr, 0) == PLATEIO_E_ARGUMENT &&
                 plateio_read(tra.c_str(), nullptr, 1440000, &frame, 0) == PLATEIO_E_ARGUMENT &&
                 plateio_read(tra.c_str(), pixels, 4, &frame, 2u) == PLATEIO_E_ARGUMENT &&
                 plateio_read_mask(nullptr, mask, 4, &frame) == PLATEIO_E_ARGUMENT &&
                 plateio_read_mask(tra.c_str(), mask, 4, nullptr) == PLATEIO_E_ARGUMENT &&
                 plateio_read_mask(tra.c_str(), nullptr, 1440000, &frame) == PLATEIO_E_ARGUMENT &&
                 plateio_read_memory(nullptr, 1, pixels, 4, &frame, 0) == PLATEIO_E_ARGUMENT &&
                 frame.reason[0] != '\0' &&
                 plateio_read_memory(mask, 4, pixels, 4, nullptr, 0) == PLATEIO_E_ARGUMENT &&
                 plateio_read_mask_memory(nullptr, 1, mask, 4, &frame) == PLATEIO_E_ARGUMENT &&
                 plateio_read_mask_memory(mask, 4, mask, 4, nullptr) == PLATEIO_E_ARGUMENT &&
                 // No bytes at all are an empty file, which is neither family.
                 plateio_read_memory(nullptr, 0, pixels, 4, &frame, 0) == PLATEIO_E_FORMAT &&
                 plateio_read_mask_memory(nullptr, 0, mask, 4, &frame) == PLATEIO_E_FORMAT;
             return arguments ? 1 : 0;
         },
         "", 1},
    };
}

TEST(NullArguments, ReadersRefuseWithTheirMessageAndTheRestDoNothing) {
    TempDir dir;
    const std::string tra = dir.write("plate.tra", small_plate(16));
    const std::vector<std::int32_t> pixels = {1, 2, 3, 4, 5, 6};
    const std::string xa =
        dir.write("image.xa", writers::xarea_file(writers::make_xi_header(3, 2, 0), pixels, true));
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        std::string printed = c.printed;
        for (std::size_t at = printed.find('@'); at != std::string::npos; at = printed.find('@')) {
            printed.replace(at, 2, printed[at + 1] == 'T' ? tra : xa);
        }
        const ChildResult child = in_child([&] { return c.call(tra, xa); });
        ASSERT_TRUE(child.exited) << "the call crashed (signal " << child.signal << ")";
        EXPECT_EQ(child.out, printed);
        EXPECT_EQ(child.status, c.result);
    }
}

} // namespace
} // namespace plateio::test
