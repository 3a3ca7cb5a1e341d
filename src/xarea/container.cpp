#include "xarea/container.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/bytes.hpp"
#include "xarea/block.hpp"
#include "xarea/record.hpp"

namespace plateio::xarea {

namespace {

constexpr std::size_t kEntryCountAt = 72;
constexpr std::size_t kEntryBytes = 40;
constexpr std::size_t kEntryLengthAt = 24;
constexpr std::size_t kEntryOffsetAt = 36;

// Through a pipe or a device, whose length is not known in advance, a block whose size comes from the
// file grows by this much as its bytes arrive.
constexpr std::size_t kGrowthStep = std::size_t{1} << 20;

// The magic and the two names are compared with their terminating zero: "XArea_ImgHdr" followed by
// more characters is another entry, while the bytes of a name field after its zero do not matter.
constexpr std::string_view kMagic{"STOE_XFILE\0", 11};
constexpr std::string_view kHeaderEntry{"XArea_ImgHdr\0", 13};
constexpr std::string_view kPixelEntry{"XArea_Image\0", 12};

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

// True when `count` bytes from `offset` lie within the file (always, when its size is not known). An
// empty entry reads nothing, so it fits wherever it starts: a seek past the end does not fail.
bool within_file(const Source &source, std::uint64_t offset, std::uint64_t count) noexcept {
    return !source.size_known() || count == 0 || offset + count <= static_cast<std::uint64_t>(source.size());
}

enum class Filled { ok, no_memory, short_read };

// Reads `count` bytes into a new block with room for `tail` more behind them. A file whose size is
// known has been checked to hold them, so the block is allocated at once; through a pipe or a device
// it grows step by step as the bytes arrive. `got` tells how far the read came.
Filled read_block(Source &source, std::size_t count, std::size_t tail, MallocPtr<std::uint8_t> &block,
                  ReadResult &got) noexcept {
    const std::size_t step = source.size_known() ? count : kGrowthStep;
    got = {};
    do {
        const std::size_t take = std::min(step, count - got.bytes);
        const std::size_t room = got.bytes + take + (got.bytes + take == count ? tail : 0);
        void *grown = std::realloc(block.get(), room != 0 ? room : 1);
        if (grown == nullptr) {
            return Filled::no_memory;
        }
        (void)block.release();
        block.reset(static_cast<std::uint8_t *>(grown));
        const ReadResult part = source.read(block.get() + got.bytes, take);
        got.bytes += part.bytes;
        got.system_error = part.system_error;
        if (part.bytes < take) {
            return Filled::short_read;
        }
    } while (got.bytes < count);
    return Filled::ok;
}

Fault with_error(Fault f, int system_error) noexcept {
    f.system_error = system_error;
    return f;
}

} // namespace

bool has_magic(std::span<const std::uint8_t> head) noexcept {
    return head.size() >= kMagic.size() && std::memcmp(head.data(), kMagic.data(), kMagic.size()) == 0;
}

Fault open_container(Source &source, xi_header &record, Container &container,
                     std::size_t table_limit) noexcept {
    std::array<std::uint8_t, kFileHeaderBytes> file_header;
    const ReadResult head = source.read(file_header.data(), file_header.size());
    if (!head.complete(file_header.size())) {
        return with_error(fault(FaultKind::container_short, static_cast<std::int64_t>(head.bytes)),
                          head.system_error);
    }
    if (!has_magic(file_header)) {
        return fault(FaultKind::container_magic);
    }

    // A negative count, or one whose table size the platform cannot represent, is an allocation that
    // cannot be made. A table that would run past the end of the file is refused before anything is
    // allocated: a damaged count must not make a small file allocate gigabytes.
    const auto entry_count = load_le<std::int32_t>(file_header.data() + kEntryCountAt);
    const auto table_bytes =
        entry_count < 0 ? std::nullopt : checked_mul(static_cast<std::size_t>(entry_count), kEntryBytes);
    if (!table_bytes) {
        return fault(FaultKind::toc_count, entry_count);
    }
    if (!within_file(source, kFileHeaderBytes, *table_bytes)) {
        const auto there = (static_cast<std::uint64_t>(source.size()) - kFileHeaderBytes) / kEntryBytes;
        return fault(FaultKind::toc_short, entry_count, static_cast<std::int64_t>(there));
    }
    const std::size_t read_bytes = std::min(*table_bytes, table_limit / kEntryBytes * kEntryBytes);
    MallocPtr<std::uint8_t> table;
    ReadResult got;
    switch (read_block(source, read_bytes, 0, table, got)) {
    case Filled::ok:
        break;
    case Filled::no_memory:
        return fault(FaultKind::toc_no_memory, static_cast<std::int64_t>(*table_bytes));
    case Filled::short_read:
        return with_error(
            fault(FaultKind::toc_short, entry_count, static_cast<std::int64_t>(got.bytes / kEntryBytes)),
            got.system_error);
    }
    const std::size_t count = read_bytes / kEntryBytes;
    container.entries = count;

    const auto header_entry = find_entry(table.get(), count, kHeaderEntry);
    if (!header_entry) {
        return fault(FaultKind::no_header_entry, static_cast<std::int64_t>(count));
    }
    int seek_error = 0;
    if (!source.seek(header_entry->offset, &seek_error)) {
        return with_error(fault(FaultKind::header_seek, header_entry->offset), seek_error);
    }
    if (header_entry->length < 0) {
        return fault(FaultKind::header_corrupt, header_entry->length, header_entry->offset);
    }
    // Newer writers may grow the record: its first 412 bytes are the fields known here, the rest is
    // left in the file. A shorter entry leaves zeros in the fields it does not reach.
    std::memset(&record, 0, sizeof record);
    const std::size_t header_bytes = std::min(static_cast<std::size_t>(header_entry->length), kRecordBytes);
    const ReadResult header = source.read(&record, header_bytes);
    if (!header.complete(header_bytes)) {
        return with_error(fault(FaultKind::header_corrupt, header_entry->length, header_entry->offset),
                          header.system_error);
    }

    const auto pixel_entry = find_entry(table.get(), count, kPixelEntry);
    if (!pixel_entry) {
        return fault(FaultKind::no_pixel_entry, static_cast<std::int64_t>(count));
    }
    if (pixel_entry->length < 0) {
        return fault(FaultKind::pixel_corrupt, pixel_entry->length, pixel_entry->offset);
    }
    if (pixel_entry->offset < 0) {
        return with_error(fault(FaultKind::pixel_seek, pixel_entry->offset), EINVAL);
    }
    if (!within_file(source, static_cast<std::uint64_t>(pixel_entry->offset),
                     static_cast<std::uint64_t>(pixel_entry->length))) {
        return fault(FaultKind::pixel_corrupt, pixel_entry->length, pixel_entry->offset);
    }
    container.pixels = *pixel_entry;
    return {};
}

bool taking_pixel_entry(const Fault &f) noexcept {
    return f.kind == FaultKind::pixel_corrupt || f.kind == FaultKind::pixel_seek ||
           f.kind == FaultKind::block_no_memory;
}

Fault seek_pixel_entry(Source &source, const Container &container, std::size_t skip) noexcept {
    int seek_error = 0;
    if (!source.seek(static_cast<std::int64_t>(container.pixels.offset) + static_cast<std::int64_t>(skip),
                     &seek_error)) {
        return with_error(fault(FaultKind::pixel_seek, container.pixels.offset), seek_error);
    }
    return {};
}

Fault read_pixel_bytes(Source &source, const Container &container, void *into, std::size_t count) noexcept {
    const ReadResult got = source.read(into, count);
    if (!got.complete(count)) {
        return with_error(fault(FaultKind::pixel_corrupt, container.pixels.length, container.pixels.offset),
                          got.system_error);
    }
    return {};
}

Fault read_pixel_block(Source &source, const Container &container, MallocPtr<std::uint8_t> &block,
                       std::size_t &length) noexcept {
    const auto count = static_cast<std::size_t>(container.pixels.length);
    if (Fault f = seek_pixel_entry(source, container)) {
        return f;
    }
    ReadResult got;
    switch (read_block(source, count, kTrailerBytes, block, got)) {
    case Filled::ok:
        break;
    case Filled::no_memory:
        block.reset();
        return fault(FaultKind::block_no_memory, container.pixels.length);
    case Filled::short_read:
        block.reset();
        return with_error(fault(FaultKind::pixel_corrupt, container.pixels.length, container.pixels.offset),
                          got.system_error);
    }
    seal_block(block.get(), count);
    length = count;
    return {};
}

} // namespace plateio::xarea
