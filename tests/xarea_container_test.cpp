// readXImage: the file header, the table of contents, the two entries, and every failure message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "plateio.h"
#include "support/child.hpp"
#include "support/console.hpp"
#include "support/leak_check.hpp"
#include "support/sentinel.hpp"
#include "support/temp_dir.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

using writers::XiContainer;
using writers::XiEntry;

std::vector<std::uint8_t> bytes_of(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

// A header record whose bytes are all different from a cleared record: 1, 2, 3, ...
std::vector<std::uint8_t> header_data(std::size_t size, std::uint8_t seed = 1) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i);
    }
    return data;
}

const std::vector<std::uint8_t> kPixelData = bytes_of({10, 0, 0, 0, 20, 0, 0, 0, 30});

XiContainer good_container() {
    XiContainer container;
    container.entries.push_back({"XArea_ImgHdr", header_data(412), {}, {}});
    container.entries.push_back({"XArea_Image", kPixelData, {}, {}});
    return container;
}

// What a case expects of the caller's block pointer afterwards.
enum class BlockAfter { untouched, null, data };

struct ContainerCase {
    const char *name;
    std::function<std::vector<std::uint8_t>()> file; // no function: the path does not exist
    std::string printed;
    std::int32_t result;
    BlockAfter block;
    // Nothing: the record must be as the caller left it. Else the bytes it must start with, then zeros.
    std::optional<std::vector<std::uint8_t>> header_prefix;
};

std::vector<std::uint8_t> with(std::function<void(XiContainer &)> change) {
    XiContainer container = good_container();
    change(container);
    return writers::encode_xarea(container);
}

std::vector<std::uint8_t> patched(std::vector<std::uint8_t> bytes, std::size_t at,
                                  std::vector<std::uint8_t> patch) {
    std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

const std::string kError = "ERROR\n";

std::vector<ContainerCase> container_cases() {
    const auto good = writers::encode_xarea(good_container());
    return {
        {"missing file", nullptr, " readXImage(): unable to open file ", 0, BlockAfter::untouched,
         std::nullopt},
        {"empty file", [] { return std::vector<std::uint8_t>{}; }, " readXImage(): no stoe xfile " + kError,
         0, BlockAfter::untouched, std::nullopt},
        {"103 bytes", [good] { return std::vector<std::uint8_t>(good.begin(), good.begin() + 103); },
         " readXImage(): no stoe xfile " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"magic without its zero byte", [good] { return patched(good, 10, {'X'}); },
         " readXImage(): no stoe xfile " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"magic in other letters", [good] { return patched(good, 0, {'s'}); },
         " readXImage(): no stoe xfile " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"negative entry count", [] { return with([](XiContainer &c) { c.entry_count = -1; }); },
         " readXImage(): no memory " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"entry count beyond the file", [] { return with([](XiContainer &c) { c.entry_count = 1000; }); },
         " readXImage(): error reading toc " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"table cut short by the end of the file",
         [good] { return std::vector<std::uint8_t>(good.begin(), good.begin() + 104 + 40 + 39); },
         " readXImage(): error reading toc " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"no entries", [] { return with([](XiContainer &c) { c.entry_count = 0; }); },
         " readXImage(): the file contains no image header" + kError, 0, BlockAfter::untouched, std::nullopt},
        {"header name runs on past its twelve characters",
         [] { return with([](XiContainer &c) { c.entries[0].name = "XArea_ImgHdrs"; }); },
         " readXImage(): the file contains no image header" + kError, 0, BlockAfter::untouched, std::nullopt},
        {"header name is a prefix only",
         [] { return with([](XiContainer &c) { c.entries[0].name = "XArea_ImgHd"; }); },
         " readXImage(): the file contains no image header" + kError, 0, BlockAfter::untouched, std::nullopt},
        {"negative header offset", [] { return with([](XiContainer &c) { c.entries[0].offset = -4; }); },
         " readXImage(): bad seek for image header " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"negative header length", [] { return with([](XiContainer &c) { c.entries[0].length = -1; }); },
         " readXImage(): corrupt file " + kError, 0, BlockAfter::untouched, std::nullopt},
        {"header entry beyond the end of the file",
         [] { return with([](XiContainer &c) { c.entries[0].offset = 100000; }); },
         " readXImage(): corrupt file " + kError, 0, BlockAfter::untouched, std::vector<std::uint8_t>{}},
        {"empty header entry beyond the end of the file is read",
         [] {
             return with([](XiContainer &c) {
                 c.entries[0].offset = 100000;
                 c.entries[0].length = 0;
             });
         },
         "", 1, BlockAfter::data, std::vector<std::uint8_t>{}},
        {"no pixel entry", [] { return with([](XiContainer &c) { c.entries[1].name = "XArea_Imag"; }); },
         " readXImage(): the file contains no image data " + kError, 0, BlockAfter::untouched,
         header_data(412)},
        {"pixel name runs on past its eleven characters",
         [] { return with([](XiContainer &c) { c.entries[1].name = "XArea_Images"; }); },
         " readXImage(): the file contains no image data " + kError, 0, BlockAfter::untouched,
         header_data(412)},
        {"pixel name with bytes behind its zero",
         [] {
             return with([](XiContainer &c) { c.entries[1].name = std::string("XArea_Image\0junk!", 17); });
         },
         "", 1, BlockAfter::data, header_data(412)},
        {"negative pixel length", [] { return with([](XiContainer &c) { c.entries[1].length = -9; }); },
         " readXImage(): corrupt file " + kError, 0, BlockAfter::null, header_data(412)},
        {"negative pixel offset", [] { return with([](XiContainer &c) { c.entries[1].offset = -1; }); },
         " readXImage(): bad seek for image data " + kError, 0, BlockAfter::null, header_data(412)},
        {"pixel entry runs past the end of the file",
         [] { return with([](XiContainer &c) { c.entries[1].length = 10; }); },
         " readXImage(): corrupt file " + kError, 0, BlockAfter::null, header_data(412)},
        {"huge pixel length in a small file",
         [] { return with([](XiContainer &c) { c.entries[1].length = 0x7fffffff; }); },
         " readXImage(): corrupt file " + kError, 0, BlockAfter::null, header_data(412)},
        {"pixel entry beyond the end of the file",
         [] { return with([](XiContainer &c) { c.entries[1].offset = 1 << 30; }); },
         " readXImage(): corrupt file " + kError, 0, BlockAfter::null, header_data(412)},
        {"header entry longer than the record: first 412 bytes",
         [] { return with([](XiContainer &c) { c.entries[0].data = header_data(500, 7); }); }, "", 1,
         BlockAfter::data, header_data(412, 7)},
        {"header entry shorter than the fields: the rest is zero",
         [] { return with([](XiContainer &c) { c.entries[0].data = header_data(100); }); }, "", 1,
         BlockAfter::data, header_data(100)},
    };
}

TEST(XAreaContainer, ChecksInOrderWithTheirMessages) {
    TempDir dir;
    for (const ContainerCase &c : container_cases()) {
        SCOPED_TRACE(c.name);
        const std::string path = c.file ? dir.write("case.xa", c.file()) : dir.file("missing.xa");
        const xi_header before = patterned<xi_header>();
        xi_header header = before;
        void *const sentinel = untouched_pointer();
        void *block = sentinel;
        std::int32_t result = -1;
        const int descriptors = open_descriptor_count();
        EXPECT_EQ(capture_stdout([&] { result = readXImage(path.c_str(), &header, &block); }), c.printed);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(open_descriptor_count(), descriptors);
        switch (c.block) {
        case BlockAfter::untouched:
            EXPECT_EQ(block, sentinel);
            break;
        case BlockAfter::null:
            EXPECT_EQ(block, nullptr);
            break;
        case BlockAfter::data:
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(std::memcmp(block, kPixelData.data(), kPixelData.size()), 0);
            std::free(block);
            break;
        }
        if (!c.header_prefix) {
            EXPECT_TRUE(same_bytes(header, before)) << "a failure before the header entry changed the record";
        } else {
            std::vector<std::uint8_t> expected = *c.header_prefix;
            expected.resize(412, 0);
            EXPECT_EQ(std::memcmp(&header, expected.data(), 412), 0);
        }
    }
}

TEST(XAreaContainer, TableSizeBeyondThePlatformIsAnAllocationFailure) {
    // 200 million entries are 8 GB of table: representable on a 64-bit host (so the file's size
    // refuses it), not on a 32-bit one.
    TempDir dir;
    const std::string path = dir.write("huge.xa", with([](XiContainer &c) { c.entry_count = 200000000; }));
    xi_header header;
    void *block = nullptr;
    const std::string expected = sizeof(std::size_t) == 4 ? " readXImage(): no memory ERROR\n"
                                                          : " readXImage(): error reading toc ERROR\n";
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(readXImage(path.c_str(), &header, &block), 0); }), expected);
}

// Through a pipe the file's length is not known before it is read: a count of 500 million entries
// must not reserve a 20 GB table; the table grows as entries arrive, and the pipe ends first.
TEST(XAreaContainer, AHugeEntryCountThroughAPipeReservesOnlyWhatArrives) {
    TempDir dir;
    const std::string fifo = dir.file("pipe.xa");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const ChildResult child = in_child([&] {
        const bool limited = limit_address_space_growth(std::size_t{512} << 20);
        std::thread writer([&] {
            std::vector<std::uint8_t> header(104, 0);
            std::memcpy(header.data(), "STOE_XFILE", 11);
            const std::uint32_t count = 500000000;
            for (int i = 0; i < 4; ++i) {
                header[72 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(count >> (8 * i));
            }
            std::FILE *out = std::fopen(fifo.c_str(), "wb");
            std::fwrite(header.data(), 1, header.size(), out);
            std::fclose(out);
        });
        xi_header header;
        void *block = untouched_pointer();
        const long growth =
            peak_resident_growth_kib([&] { std::printf("%d", readXImage(fifo.c_str(), &header, &block)); });
        writer.join();
        std::printf("|%s", limited || growth < 64 * 1024 ? "bounded" : "unbounded");
        return block == untouched_pointer() ? 0 : 1;
    });
    ASSERT_TRUE(child.exited);
    EXPECT_EQ(child.status, 0);
    // A 32-bit host cannot even represent a table of 20 GB: that is the no-memory path.
    EXPECT_EQ(child.out, sizeof(std::size_t) == 4 ? " readXImage(): no memory ERROR\n0|bounded"
                                                  : " readXImage(): error reading toc ERROR\n0|bounded");
}

TEST(XAreaContainer, FirstEntryOfEachNameWinsInAnyOrder) {
    XiContainer container;
    container.entries.push_back({"Other", bytes_of({9, 9, 9}), {}, {}});
    container.entries.push_back({"XArea_Image", bytes_of({1, 2, 3, 4}), {}, {}});
    container.entries.push_back({"XArea_ImgHdr", header_data(412, 40), {}, {}});
    container.entries.push_back({"XArea_Image", bytes_of({5, 6}), {}, {}});
    container.entries.push_back({"XArea_ImgHdr", header_data(412, 80), {}, {}});
    container.data_order = {4, 2, 3, 1, 0}; // data in the file in yet another order
    TempDir dir;
    const std::string path = dir.write("order.xa", writers::encode_xarea(container));
    xi_header header;
    void *block = nullptr;
    ASSERT_EQ(readXImage(path.c_str(), &header, &block), 1);
    EXPECT_EQ(std::memcmp(&header, header_data(412, 40).data(), 412), 0);
    EXPECT_EQ(std::memcmp(block, bytes_of({1, 2, 3, 4}).data(), 4), 0);
    std::free(block);
}

TEST(XAreaContainer, EmptyPixelEntryGivesAnEmptyBlock) {
    TempDir dir;
    const std::string path = dir.write("empty.xa", with([](XiContainer &c) { c.entries[1].data.clear(); }));
    xi_header header;
    void *block = nullptr;
    ASSERT_EQ(readXImage(path.c_str(), &header, &block), 1);
    EXPECT_NE(block, nullptr); // a block the caller frees like any other
    std::free(block);
}

TEST(XAreaContainer, UnableToOpenLeavesTheLineOpen) {
    TempDir dir;
    const std::string missing = dir.file("missing.xa");
    const std::string bad = dir.write("bad.xa", bytes_of({1, 2, 3}));
    xi_header header;
    void *block = nullptr;
    EXPECT_EQ(capture_stdout([&] {
                  readXImage(missing.c_str(), &header, &block);
                  readXImage(bad.c_str(), &header, &block);
              }),
              " readXImage(): unable to open file  readXImage(): no stoe xfile ERROR\n");
}

TEST(XAreaContainer, AThousandCallsLeaveNoDescriptorAndNoBlock) {
    TempDir dir;
    const std::vector<std::string> paths = {
        dir.write("good.xa", writers::encode_xarea(good_container())),
        dir.write("nodata.xa", with([](XiContainer &c) { c.entries[1].name = "nothing"; })),
        dir.write("short.xa", with([](XiContainer &c) { c.entries[1].length = 100; })),
        dir.write("toc.xa", with([](XiContainer &c) { c.entry_count = 50; })),
        dir.file("missing.xa"),
    };
    xi_header header;
    void *block = nullptr;
    const auto every_path_once = [&] {
        for (const std::string &path : paths) {
            if (readXImage(path.c_str(), &header, &block) == 1) {
                std::free(block);
            }
        }
    };
    expect_rounds_keep_nothing(every_path_once);
}

} // namespace
} // namespace plateio::test
