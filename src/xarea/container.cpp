#include "xarea/container.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/bytes.hpp"
#include "common/file.hpp"
#include "xarea/record.hpp"

namespace plateio::xarea {

namespace {

constexpr std::size_t kFileHeaderBytes = 104;
constexpr std::size_t kEntryCountAt = 72;
constexpr std::size_t kEntryBytes = 40;
constexpr std::size_t kEntryLengthAt = 24;
constexpr std::size_t kEntryOffsetAt = 36;

// The magic and the two names are compared with their terminating zero: "XArea_ImgHdr" followed by
// more characters is another entry, while the bytes of a name field after its zero do not matter.
constexpr std::string_view kMagic{"STOE_XFILE\0", 11};
constexpr std::string_view kHeaderEntry{"XArea_ImgHdr\0", 13};
constexpr std::string_view kPixelEntry{"XArea_Image\0", 12};

struct Entry {
    std::int32_t length = 0;
    std::int32_t offset = 0;
};

// The first entry of the table whose name starts with `name` (zero included).
std::optional<Entry> find_entry(const std::uint8_t *table, std::size_t count,
                                std::string_view name) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t *entry = table + i * kEntryBytes;
        if (std::memcmp(entry, name.data(), name.size()) == 0) {
            return Entry{load_le<std::int32_t>(entry + kEntryLengthAt),
                         load_le<std::int32_t>(entry + kEntryOffsetAt)};
        }
    }
    return std::nullopt;
}

OpenContainer fail(OpenContainer result, const char *message) noexcept {
    print_container_failure(message);
    result.ok = false;
    result.file.reset();
    return result;
}

// True when `count` bytes from `offset` lie within a file of `size` bytes (-1: size not known). An
// empty entry reads nothing, so it fits wherever it starts: a seek past the end does not fail.
bool within_file(std::int64_t size, std::uint64_t offset, std::uint64_t count) noexcept {
    return size < 0 || count == 0 || offset + count <= static_cast<std::uint64_t>(size);
}

} // namespace

OpenContainer open_container(const char *path, xi_header &header) noexcept {
    OpenContainer result;
    result.file = open_file(path, "rb");
    const File &file = result.file;
    if (!file) {
        std::fputs(" readXImage(): unable to open file ", stdout);
        return result;
    }
    const std::int64_t file_size = regular_file_size(file.get());
    result.size_known = file_size >= 0;

    std::array<std::uint8_t, kFileHeaderBytes> file_header;
    if (!read_exact(file.get(), file_header.data(), file_header.size()) ||
        std::memcmp(file_header.data(), kMagic.data(), kMagic.size()) != 0) {
        return fail(std::move(result), " readXImage(): no stoe xfile ");
    }

    // The table is allocated only when the file can hold it: a damaged count must not make a small
    // file allocate gigabytes. A negative count, or one whose table size the platform cannot
    // represent, is an allocation that cannot be made.
    const auto entry_count = load_le<std::int32_t>(file_header.data() + kEntryCountAt);
    const auto table_bytes =
        entry_count < 0 ? std::nullopt : checked_mul(static_cast<std::size_t>(entry_count), kEntryBytes);
    if (!table_bytes) {
        return fail(std::move(result), " readXImage(): no memory ");
    }
    if (!within_file(file_size, kFileHeaderBytes, *table_bytes)) {
        return fail(std::move(result), " readXImage(): error reading toc ");
    }
    const auto table = malloc_array<std::uint8_t>(*table_bytes);
    if (!table) {
        return fail(std::move(result), " readXImage(): no memory ");
    }
    if (!read_exact(file.get(), table.get(), *table_bytes)) {
        return fail(std::move(result), " readXImage(): error reading toc ");
    }
    const auto count = static_cast<std::size_t>(entry_count);

    const auto header_entry = find_entry(table.get(), count, kHeaderEntry);
    if (!header_entry) {
        return fail(std::move(result), " readXImage(): the file contains no image header");
    }
    if (header_entry->offset < 0 || std::fseek(file.get(), header_entry->offset, SEEK_SET) != 0) {
        return fail(std::move(result), " readXImage(): bad seek for image header ");
    }
    if (header_entry->length < 0) {
        return fail(std::move(result), " readXImage(): corrupt file ");
    }
    // Newer writers may grow the record: its first 412 bytes are the fields known here, the rest is
    // left in the file. A shorter entry leaves zeros in the fields it does not reach.
    std::memset(&header, 0, sizeof header);
    const std::size_t header_bytes = std::min(static_cast<std::size_t>(header_entry->length), kRecordBytes);
    if (!read_exact(file.get(), &header, header_bytes)) {
        return fail(std::move(result), " readXImage(): corrupt file ");
    }

    const auto pixel_entry = find_entry(table.get(), count, kPixelEntry);
    if (!pixel_entry) {
        return fail(std::move(result), " readXImage(): the file contains no image data ");
    }
    result.reached_pixel_entry = true;
    if (pixel_entry->length < 0) {
        return fail(std::move(result), " readXImage(): corrupt file ");
    }
    if (pixel_entry->offset < 0) {
        return fail(std::move(result), " readXImage(): bad seek for image data ");
    }
    const auto length = static_cast<std::size_t>(pixel_entry->length);
    if (!within_file(file_size, static_cast<std::uint64_t>(pixel_entry->offset), length)) {
        return fail(std::move(result), " readXImage(): corrupt file ");
    }
    result.pixel_offset = pixel_entry->offset;
    result.pixel_length = length;
    result.ok = true;
    return result;
}

void print_container_failure(const char *message) noexcept {
    // Every failure after the open prints its message, then "ERROR" on the same console line.
    std::fputs(message, stdout);
    std::fputs("ERROR\n", stdout);
}

bool seek_pixel_entry(OpenContainer &container) noexcept {
    if (std::fseek(container.file.get(), container.pixel_offset, SEEK_SET) != 0) {
        print_container_failure(" readXImage(): bad seek for image data ");
        return false;
    }
    return true;
}

bool read_pixel_entry(OpenContainer &container, void *into, std::size_t count) noexcept {
    if (!seek_pixel_entry(container)) {
        return false;
    }
    if (!read_exact(container.file.get(), into, std::min(count, container.pixel_length))) {
        print_container_failure(" readXImage(): corrupt file ");
        return false;
    }
    return true;
}

ContainerRead read_container(const char *path, xi_header &header) noexcept {
    ContainerRead result;
    OpenContainer container = open_container(path, header);
    result.reached_pixel_entry = container.reached_pixel_entry;
    if (!container.ok) {
        return result;
    }
    auto block = malloc_array<std::uint8_t>(container.pixel_length);
    if (!block) {
        print_container_failure(" readXImage(): no memory ");
        return result;
    }
    if (!read_pixel_entry(container, block.get(), container.pixel_length)) {
        return result;
    }
    // Whatever the allocator added behind the entry's bytes is zeroed, so that a decoder bounded by
    // the block's allocated size never sees bytes that were not written.
    clear_allocation_slack(block.get(), container.pixel_length);
    result.block = std::move(block);
    result.length = container.pixel_length;
    result.ok = true;
    return result;
}

} // namespace plateio::xarea
