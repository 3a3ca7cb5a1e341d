// What a reader must do with any bytes, worked out again from the two file layouts and the decisions
// the README documents for damaged files, without any of the library's code: the result, the exact
// console text, and what the host's records hold afterwards. The truncation and mutation sweeps, the
// allocation-failure sweep and the fuzz targets hold the library to it.
//
// Header-only and free of the test framework, so that the fuzz targets can use it too. Every value is
// put together from its little-endian bytes, so the reference holds on a host of either byte order.
#pragma once

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "plateio.h"

namespace plateio::reference {

using Bytes = std::span<const std::uint8_t>;

inline std::uint16_t u16_at(Bytes bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

inline std::int32_t i32_at(Bytes bytes, std::size_t at) {
    const std::uint32_t value = std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) |
                                (std::uint32_t{bytes[at + 2]} << 16) | (std::uint32_t{bytes[at + 3]} << 24);
    return static_cast<std::int32_t>(value);
}

// ---- TRA ----------------------------------------------------------------------------------------

inline constexpr std::size_t kTraGrid = 1200;
inline constexpr std::size_t kTraGridPixels = kTraGrid * kTraGrid;
inline constexpr std::size_t kTraRowTableAt = 336;
inline constexpr std::size_t kTraStreamAt = 1536;
inline constexpr std::size_t kTraHeaderBytesRead = 204;

inline std::string tra_failure(const std::string &path, bool read_tra_wording) {
    return "# \x1b[0mERROR\x1b[0m READING " + path + (read_tra_wording ? " returning 0\n" : "\n");
}

// The stream length a row table calls for, or nothing when a row is wider than the grid.
inline std::optional<std::size_t> tra_stream_values(Bytes file) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < 600; ++i) {
        const std::size_t half = u16_at(file, kTraRowTableAt + 2 * i) >> 1;
        if (half > 600) {
            return std::nullopt;
        }
        count += 4 * half;
    }
    return count;
}

// The grid read_tra (mark) or read_short_tra (!mark) loads, into `grid` (resized to 1200 x 1200);
// false when the file is refused: shorter than its header and row table, a half-width above 600, or
// shorter than its stream.
inline bool tra_grid_into(Bytes file, bool mark, std::vector<std::int32_t> &grid) {
    if (file.size() < kTraStreamAt) {
        return false;
    }
    const auto stream_values = tra_stream_values(file);
    if (!stream_values || (file.size() - kTraStreamAt) / 2 < *stream_values) {
        return false;
    }
    grid.assign(kTraGridPixels, 0);
    std::size_t at = kTraStreamAt;
    for (std::size_t row = 0; row < kTraGrid; ++row) {
        const std::size_t table_row = std::min(row, kTraGrid - 1 - row);
        const std::size_t half = u16_at(file, kTraRowTableAt + 2 * table_row) >> 1;
        for (std::size_t k = 0; k < 2 * half; ++k, at += 2) {
            const std::uint16_t value = u16_at(file, at);
            grid[row * kTraGrid + 600 - half + k] = mark && value == 65535 ? PIXEL_OVERFLOW : value;
        }
    }
    return true;
}

inline std::optional<std::vector<std::int32_t>> tra_grid(Bytes file, bool mark) {
    std::vector<std::int32_t> grid;
    if (!tra_grid_into(file, mark, grid)) {
        return std::nullopt;
    }
    return grid;
}

// A word-swapped VAX real from the four bytes at `at`: halves swapped, an IEEE single, a quarter.
inline double vax_real(Bytes bytes, std::size_t at) {
    const std::uint8_t swapped[4] = {bytes[at + 2], bytes[at + 3], bytes[at], bytes[at + 1]};
    const auto bits = static_cast<std::uint32_t>(i32_at(swapped, 0));
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return static_cast<double>(value) * 0.25;
}

// The record read_tra_header leaves, starting from `before`; nothing when the file is refused.
inline std::optional<image_info> tra_header(Bytes file, const char *path, const image_info &before) {
    if (file.size() < kTraHeaderBytesRead || std::strlen(path) >= PLATEIO_PATH_CAPACITY) {
        return std::nullopt;
    }
    image_info info = before;
    info.overload_count = -1;
    info.geometry[0] = vax_real(file, 178);
    info.geometry[1] = 0.0;
    info.geometry[2] = vax_real(file, 140);
    info.geometry[3] = vax_real(file, 186);
    info.geometry[4] = vax_real(file, 116);
    info.geometry[5] = vax_real(file, 194);
    info.setting = -1;
    info.overflow_threshold = -1;
    info.scale_value = -1.0;
    std::memcpy(info.path, path, std::strlen(path) + 1);
    return info;
}

// The built-in binning, in place: 2 x 2 sums of the 1200 x 1200 grid into 600 x 600; a block holding
// an overflowed pixel is overflowed, a sum above 9999999 is 9999999.
inline void bin_grid(std::vector<std::int32_t> &grid) {
    constexpr std::size_t kBinned = kTraGrid / 2;
    for (std::size_t y = 0; y < kBinned; ++y) {
        for (std::size_t x = 0; x < kBinned; ++x) {
            std::int64_t sum = 0;
            bool overflowed = false;
            for (std::size_t dy = 0; dy < 2; ++dy) {
                for (std::size_t dx = 0; dx < 2; ++dx) {
                    const std::int32_t value = grid[(2 * y + dy) * kTraGrid + 2 * x + dx];
                    overflowed = overflowed || value == PIXEL_OVERFLOW;
                    sum += value;
                }
            }
            grid[y * kBinned + x] =
                overflowed ? PIXEL_OVERFLOW : static_cast<std::int32_t>(std::min<std::int64_t>(sum, 9999999));
        }
    }
    grid.resize(kBinned * kBinned);
}

// What read_az_tra (with the built-in binning) does to `cells`: false, with `cells` unchanged, when
// the file is refused. `grid` is scratch.
inline bool remap_into(Bytes file, std::int32_t grid_mode, const std::int32_t *map,
                       std::vector<std::int32_t> &cells, std::int32_t &overload_count,
                       std::vector<std::int32_t> &grid) {
    if (!tra_grid_into(file, true, grid)) {
        return false;
    }
    if (grid_mode != 600) {
        bin_grid(grid);
    }
    overload_count = 0;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const std::int32_t cell = map[i];
        if (cell >= 0 && static_cast<std::size_t>(cell) < cells.size()) {
            cells[static_cast<std::size_t>(cell)] = grid[i];
            overload_count += grid[i] == PIXEL_OVERFLOW ? 1 : 0;
        }
    }
    return true;
}

// ---- X-Area container ---------------------------------------------------------------------------

inline constexpr std::size_t kXiRecordBytes = 412;

// Where a readXImage call stopped, and therefore what it may have done to the caller's record and
// block pointer.
enum class HeaderAfter {
    untouched, // failed before the header entry was read
    unknown,   // failed while reading the header entry: the record is cleared and partly filled
    read,      // the header entry was read: the record is `header`
};

struct Container {
    std::int32_t result = 0;
    std::string printed;
    HeaderAfter header_after = HeaderAfter::untouched;
    std::array<std::uint8_t, kXiRecordBytes> header{};
    bool block_reset = false;        // a failure while taking the pixel entry: *block is NULL
    std::vector<std::uint8_t> block; // on success
};

inline Container container_failure(Container c, const char *message) {
    c.result = 0;
    c.printed = std::string(message) + "ERROR\n";
    return c;
}

// The first table entry whose name starts with `name` and its zero byte: {length, offset}.
inline std::optional<std::pair<std::int32_t, std::int32_t>> find_entry(Bytes file, std::size_t count,
                                                                       const char *name) {
    const std::size_t compared = std::strlen(name) + 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 104 + 40 * i;
        if (std::memcmp(file.data() + at, name, compared) == 0) {
            return std::make_pair(i32_at(file, at + 24), i32_at(file, at + 36));
        }
    }
    return std::nullopt;
}

// readXImage on a regular file holding `file` (a file that can be opened).
inline Container container(Bytes file) {
    Container c;
    if (file.size() < 104 || std::memcmp(file.data(), "STOE_XFILE\0", 11) != 0) {
        return container_failure(c, " readXImage(): no stoe xfile ");
    }
    const std::int32_t entry_count = i32_at(file, 72);
    // A table the platform cannot size is an allocation that cannot be made (32-bit hosts).
    if (entry_count < 0 ||
        static_cast<std::uint64_t>(entry_count) > std::numeric_limits<std::size_t>::max() / 40) {
        return container_failure(c, " readXImage(): no memory ");
    }
    const auto count = static_cast<std::size_t>(entry_count);
    if (104 + 40 * static_cast<std::uint64_t>(count) > file.size()) {
        return container_failure(c, " readXImage(): error reading toc ");
    }
    const auto header_entry = find_entry(file, count, "XArea_ImgHdr");
    if (!header_entry) {
        return container_failure(c, " readXImage(): the file contains no image header");
    }
    const auto [header_length, header_offset] = *header_entry;
    if (header_offset < 0) {
        return container_failure(c, " readXImage(): bad seek for image header ");
    }
    if (header_length < 0) {
        return container_failure(c, " readXImage(): corrupt file ");
    }
    c.header_after = HeaderAfter::unknown;
    // An offset past the end of the file is no failed seek; the read then comes up short, unless it
    // reads nothing.
    const std::size_t header_bytes = std::min<std::size_t>(static_cast<std::size_t>(header_length), 412);
    if (header_bytes > 0 && static_cast<std::uint64_t>(header_offset) + header_bytes > file.size()) {
        return container_failure(c, " readXImage(): corrupt file ");
    }
    std::copy_n(file.data() + header_offset, header_bytes, c.header.begin());
    c.header_after = HeaderAfter::read;

    const auto pixel_entry = find_entry(file, count, "XArea_Image");
    if (!pixel_entry) {
        return container_failure(c, " readXImage(): the file contains no image data ");
    }
    c.block_reset = true;
    const auto [length, offset] = *pixel_entry;
    if (length < 0) {
        return container_failure(c, " readXImage(): corrupt file ");
    }
    if (offset < 0) {
        return container_failure(c, " readXImage(): bad seek for image data ");
    }
    if (length > 0 && static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(length) > file.size()) {
        return container_failure(c, " readXImage(): corrupt file ");
    }
    c.block_reset = false;
    if (length > 0) {
        c.block.assign(file.begin() + offset, file.begin() + offset + length);
    }
    c.result = 1;
    return c;
}

// The fields of a header record, read little-endian from its bytes as the library reads them.
struct Fields {
    std::int32_t compression, width, height, geometry6, geometry7, geometry8;
    double geometry0, geometry1, geometry2, geometry3, geometry4, geometry5;
    std::int32_t setting, overflow_threshold;
    double scale_value;
    std::int32_t overload_count, delta16_count, delta32_count;
};

inline double f64_at(Bytes bytes, std::size_t at) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        bits |= std::uint64_t{bytes[at + i]} << (8 * i);
    }
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline Fields fields_of(Bytes record) {
    return {i32_at(record, 16),  i32_at(record, 20),  i32_at(record, 24),  i32_at(record, 96),
            i32_at(record, 100), i32_at(record, 104), f64_at(record, 200), f64_at(record, 216),
            f64_at(record, 176), f64_at(record, 224), f64_at(record, 152), f64_at(record, 232),
            i32_at(record, 328), i32_at(record, 332), f64_at(record, 336), i32_at(record, 344),
            i32_at(record, 348), i32_at(record, 352)};
}

inline Fields fields_of(const xi_header &record) {
    return fields_of(Bytes(reinterpret_cast<const std::uint8_t *>(&record), sizeof record));
}

// ---- The difference code ------------------------------------------------------------------------

struct Decoded {
    std::vector<std::int32_t> pixels; // the pixels of the codes the entry holds; every later one is 0
    std::uint64_t taken16 = 0;
    std::uint64_t taken32 = 0;
    bool codes_missing = false;  // the entry holds fewer codes than pixels
    bool values_missing = false; // a code's value lies inside its section but past the entry's end
};

// Decodes `count` pixels from a pixel entry of exactly the bytes `entry`: pixels without a code are 0;
// a code whose value lies past the entry's end or past its section (which holds its count's values)
// adds 0, but is counted.
inline Decoded decode(Bytes entry, std::size_t count, std::int32_t delta16, std::int32_t delta32) {
    const std::uint64_t section16 = delta16 > 0 ? static_cast<std::uint64_t>(delta16) : 0;
    const std::uint64_t section32 = delta32 > 0 ? static_cast<std::uint64_t>(delta32) : 0;
    const std::uint64_t start32 = count + 2 * section16;
    Decoded out;
    out.pixels.assign(std::min(count, entry.size()), 0);
    std::uint32_t running = 0;
    for (std::size_t k = 0; k < count && k < entry.size(); ++k) {
        const std::uint8_t code = entry[k];
        if (code < 254) {
            running += static_cast<std::uint32_t>(code) - 127u;
        } else if (code == 254) {
            const std::uint64_t index = out.taken16++;
            const std::uint64_t at = count + 2 * index;
            if (index < section16 && at + 2 <= entry.size()) {
                running += static_cast<std::uint32_t>(
                    static_cast<std::int16_t>(u16_at(entry, static_cast<std::size_t>(at))));
            } else if (index < section16) {
                out.values_missing = true;
            }
        } else {
            const std::uint64_t index = out.taken32++;
            const std::uint64_t at = start32 + 4 * index;
            if (index < section32 && at + 4 <= entry.size()) {
                running += static_cast<std::uint32_t>(i32_at(entry, static_cast<std::size_t>(at)));
            } else if (index < section32) {
                out.values_missing = true;
            }
        }
        out.pixels[k] = static_cast<std::int32_t>(running);
    }
    out.codes_missing = entry.size() < count;
    return out;
}

inline bool counts_disagree(const Decoded &d, const Fields &h) {
    return d.taken16 != static_cast<std::uint64_t>(std::int64_t{h.delta16_count}) ||
           d.taken32 != static_cast<std::uint64_t>(std::int64_t{h.delta32_count});
}

inline bool corrupt(const Decoded &d, const Fields &h) {
    return d.codes_missing || d.values_missing || counts_disagree(d, h);
}

inline std::string corrupt_report(const Decoded &d, const Fields &h) {
    char line[128];
    std::snprintf(line, sizeof line, "%" PRIu64 " %d %" PRIu64 " %d\n", d.taken32, h.delta32_count, d.taken16,
                  h.delta16_count);
    return std::string(line) + " uncompressImage(): corrupt imagedata ";
}

// width * height when a platform array of that many int32 can hold it.
inline std::optional<std::size_t> pixel_count_of(const Fields &h) {
    if (h.width < 0 || h.height < 0) {
        return std::nullopt;
    }
    const std::uint64_t count = static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height);
    if (count > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / 4) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(count);
}

// uncompressImage on a block whose entry is `entry`: exactly the entry readXImage handed out, or the
// whole allocation of a block the host made itself.
struct Uncompressed {
    bool replaced = false;       // the block was replaced by an array of pixel_count pixels
    std::size_t pixel_count = 0; // of which the first pixels.size() are `pixels` and the rest 0
    std::string printed;
    std::vector<std::int32_t> pixels;
};

inline Uncompressed uncompress(const xi_header &header, Bytes entry) {
    Uncompressed out;
    const Fields h = fields_of(header);
    if (h.compression != 1) {
        return out;
    }
    const auto count = pixel_count_of(h);
    if (!count) {
        out.printed = " uncompressImage(): no memory";
        return out;
    }
    Decoded decoded = decode(entry, *count, h.delta16_count, h.delta32_count);
    if (corrupt(decoded, h)) {
        out.printed = corrupt_report(decoded, h);
    }
    out.replaced = true;
    out.pixel_count = *count;
    out.pixels = std::move(decoded.pixels);
    return out;
}

// ---- The import ---------------------------------------------------------------------------------

inline std::string import_failure(const std::string &path) {
    return "# \x1b[31;1mERROR\x1b[0m READING " + path + "\n";
}

// read_xi and read_xi_header on a file that can be opened: the result, the console text, and on
// success the header's fields and, for read_xi, the pixels with every one above the threshold marked.
struct Import {
    std::int32_t result = 0;
    std::string printed;
    Fields header{};
    std::vector<std::int32_t> marked;
    std::int32_t overflow_count = 0;
};

// read_xi refuses a file whose pixel entry cannot give every pixel: fewer codes than pixels (plain:
// fewer than 4 bytes a pixel), or a code whose value lies past the entry's end. Header counts that
// disagree with what the codes take load the image after the report.
inline Import import(Bytes file, const std::string &path) {
    Import out;
    const Container c = container(file);
    if (c.result == 0) {
        out.printed = c.printed;
        return out;
    }
    const Fields header = fields_of(c.header);
    const auto count = pixel_count_of(header);
    const bool coded = header.compression == 1;
    if (!count || *count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
        (coded ? c.block.size() < *count : c.block.size() / 4 < *count)) {
        out.printed = import_failure(path);
        return out;
    }
    std::vector<std::int32_t> pixels(*count);
    if (coded) {
        const Decoded decoded = decode(c.block, *count, header.delta16_count, header.delta32_count);
        if (decoded.values_missing) {
            out.printed = import_failure(path);
            return out;
        }
        if (counts_disagree(decoded, header)) {
            out.printed = corrupt_report(decoded, header);
        }
        pixels = decoded.pixels;
    } else {
        for (std::size_t i = 0; i < *count; ++i) {
            pixels[i] = i32_at(c.block, 4 * i);
        }
    }
    for (std::int32_t &pixel : pixels) {
        if (pixel > header.overflow_threshold) {
            pixel = PIXEL_OVERFLOW;
            ++out.overflow_count;
        }
    }
    out.result = 1;
    out.header = header;
    out.marked = std::move(pixels);
    return out;
}

// read_xi_header reads no pixel: it refuses only where readXImage fails (and a path that does not fit
// image_info.path), and for a coded entry prints what uncompressImage would print for the block.
inline Import header_import(Bytes file, const std::string &path) {
    Import out;
    const Container c = container(file);
    if (c.result == 0 || path.size() >= PLATEIO_PATH_CAPACITY) {
        out.printed = c.result == 0 ? c.printed : import_failure(path);
        return out;
    }
    out.result = 1;
    out.header = fields_of(c.header);
    xi_header record;
    std::memcpy(&record, c.header.data(), sizeof record);
    out.printed = uncompress(record, c.block).printed;
    return out;
}

// The records read_xi leaves, from the records the host passed and a successful import.
inline void apply_read_xi(const Import &in, pixel_image &image, reduction_params &params) {
    const Fields &h = in.header;
    image.width = h.width;
    image.height = h.height;
    image.overflow_threshold = h.overflow_threshold;
    image.pixel_count = static_cast<std::int32_t>(in.marked.size());
    image.overflow_count = in.overflow_count;
    image.scale_value = h.scale_value;
    image.geometry1 = h.geometry1;
    image.geometry0 = h.geometry0;
    if (params.geometry2 == PLATEIO_UNSET || params.geometry2 != params.geometry2) {
        params.geometry2 = h.geometry2;
    }
    params.geometry4 = h.geometry4;
    params.geometry0 = h.geometry0;
    params.geometry1 = h.geometry1;
    params.geometry3 = h.geometry3;
    params.geometry5 = h.geometry5;
}

// The record read_xi_header leaves, from the one the host passed and a successful import.
inline image_info applied_read_xi_header(const Import &in, image_info info, const char *path) {
    const Fields &h = in.header;
    info.overload_count = h.overload_count;
    info.geometry[0] = h.geometry0;
    info.geometry[1] = h.geometry1;
    info.geometry[2] = h.geometry2;
    info.geometry[3] = h.geometry3;
    info.geometry[4] = h.geometry4;
    info.geometry[5] = h.geometry5;
    info.geometry[6] = h.geometry6;
    info.geometry[7] = h.geometry7;
    info.geometry[8] = h.geometry8;
    info.setting = h.setting;
    info.overflow_threshold = h.overflow_threshold;
    info.scale_value = h.scale_value;
    std::memcpy(info.path, path, std::strlen(path) + 1);
    return info;
}

} // namespace plateio::reference
