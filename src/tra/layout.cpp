#include "tra/layout.hpp"

#include <algorithm>

#include "common/bytes.hpp"
#include "common/file.hpp"
#include "common/memory.hpp"
#include "plateio.h"

namespace plateio::tra {

namespace {

// The stream is read in chunks of this many bytes and widened straight into the grid, so the
// scratch stays in cache however large the exposure; a whole-stream buffer would be 2.9 MB.
constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;

// Hands out the pixel stream a span at a time, refilling its chunk from the file as it goes and
// never reading past the stream's last value.
class StreamReader {
  public:
    StreamReader(std::FILE *file, std::size_t value_count) noexcept
        : file_(file), chunk_(malloc_array<std::uint8_t>(kChunkBytes)), unread_bytes_(2 * value_count) {}

    bool has_scratch() const noexcept { return chunk_ != nullptr; }

    // Widens the next `count` stream values into `out`; false when the file ends first.
    bool take(std::int32_t *out, std::size_t count, Saturation saturation) noexcept {
        while (count > 0) {
            if (available_ == 0 && !refill()) {
                return false;
            }
            const std::size_t n = std::min(count, available_ / 2);
            widen_span(chunk_.get() + position_, out, n, saturation);
            position_ += 2 * n;
            available_ -= 2 * n;
            out += n;
            count -= n;
        }
        return true;
    }

  private:
    bool refill() noexcept {
        const std::size_t want = std::min(kChunkBytes, unread_bytes_);
        if (want == 0 || !read_exact(file_, chunk_.get(), want)) {
            return false;
        }
        unread_bytes_ -= want;
        position_ = 0;
        available_ = want;
        return true;
    }

    std::FILE *file_;
    MallocPtr<std::uint8_t> chunk_;
    std::size_t unread_bytes_;
    std::size_t position_ = 0;
    std::size_t available_ = 0;
};

} // namespace

std::optional<RowSpans> expand_row_table(std::span<const std::uint8_t, kRowTableBytes> table) noexcept {
    RowSpans spans;
    for (std::size_t i = 0; i < kRowTableEntries; ++i) {
        // The low bit of a table value is not part of the width; the half-width is what is stored.
        const auto half = static_cast<std::uint16_t>(load_le<std::uint16_t>(table.data() + 2 * i) >> 1);
        if (half > kCentre) {
            return std::nullopt;
        }
        spans.half_width[i] = half;
        spans.half_width[kGridSize - 1 - i] = half;
        spans.stream_count += 4 * std::size_t{half};
    }
    return spans;
}

std::optional<RowSpans> read_row_spans(std::FILE *file) noexcept {
    // The header is skipped by reading it with the row table: no seek, so pipes work.
    std::array<std::uint8_t, kStreamOffset> head;
    if (!read_exact(file, head.data(), head.size())) {
        return std::nullopt;
    }
    return expand_row_table(
        std::span<const std::uint8_t, kRowTableBytes>(head.data() + kHeaderBytes, kRowTableBytes));
}

GridStatus read_grid(std::FILE *file, std::int32_t *grid, Saturation saturation) noexcept {
    const auto spans = read_row_spans(file);
    if (!spans) {
        return GridStatus::damaged;
    }
    StreamReader stream(file, spans->stream_count);
    if (!stream.has_scratch()) {
        return GridStatus::no_memory;
    }
    struct GridRows {
        std::int32_t *grid;
        std::int32_t *row(std::size_t r) const noexcept { return grid + r * kGridSize; }
        void done(std::size_t, const std::int32_t *) const noexcept {}
    } rows{grid};
    return place_rows(*spans, stream, saturation, rows);
}

GridStatus read_stream(std::FILE *file, Stream &stream) noexcept {
    const auto spans = read_row_spans(file);
    if (!spans) {
        return GridStatus::damaged;
    }
    stream.spans = *spans;
    stream.bytes = malloc_array<std::uint8_t>(2 * spans->stream_count);
    if (!stream.bytes) {
        return GridStatus::no_memory;
    }
    return read_exact(file, stream.bytes.get(), 2 * spans->stream_count) ? GridStatus::ok
                                                                         : GridStatus::damaged;
}

} // namespace plateio::tra
