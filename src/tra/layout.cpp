#include "tra/layout.hpp"

#include <cstring>

#include "common/bytes.hpp"
#include "plateio.h"

namespace plateio::tra {

namespace {

// The stream is read in chunks of this many bytes and widened straight into the grid, so the scratch
// stays in cache however large the exposure; a whole-stream buffer would be 2.9 MB.
constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;

// The block size of the disks TRA files come from: a copy may keep its last block's padding.
constexpr std::int64_t kPaddingBlock = 512;

// The stream values a file holds behind its head, for a fault's numbers: from its size where that is
// known, else from what was read.
std::int64_t values_held(const Source &source, std::size_t bytes_read) noexcept {
    if (source.size_known()) {
        return source.size() > static_cast<std::int64_t>(kStreamOffset)
                   ? (source.size() - static_cast<std::int64_t>(kStreamOffset)) / 2
                   : 0;
    }
    return static_cast<std::int64_t>(bytes_read / 2);
}

// Hands out the pixel stream a span at a time, refilling its chunk from the file as it goes and
// never reading past the stream's last value.
class StreamReader {
  public:
    StreamReader(Source &source, std::size_t value_count, Saturation saturation, Isa isa) noexcept
        : source_(source), chunk_(malloc_array<std::uint8_t>(std::min(kChunkBytes, 2 * value_count))),
          unread_bytes_(2 * value_count), saturation_(saturation), isa_(isa) {}

    bool has_scratch() const noexcept { return chunk_ != nullptr; }

    // Widens the next `count` stream values into `out`; false when the file ends first.
    bool take(std::int32_t *out, std::size_t count) noexcept {
        while (count > 0) {
            if (available_ == 0 && !refill()) {
                return false;
            }
            const std::size_t n = std::min(count, available_ / 2);
            saturated_ += widen_span(isa_, chunk_.get() + position_, out, n, saturation_);
            position_ += 2 * n;
            available_ -= 2 * n;
            out += n;
            count -= n;
        }
        return true;
    }

    std::uint64_t saturated() const noexcept { return saturated_; }
    std::size_t bytes_read() const noexcept { return bytes_read_; }
    int system_error() const noexcept { return system_error_; }

  private:
    bool refill() noexcept {
        const std::size_t want = std::min(kChunkBytes, unread_bytes_);
        if (want == 0) {
            return false;
        }
        const ReadResult got = source_.read(chunk_.get(), want);
        bytes_read_ += got.bytes;
        if (!got.complete(want)) {
            system_error_ = got.system_error;
            return false;
        }
        unread_bytes_ -= want;
        position_ = 0;
        available_ = want;
        return true;
    }

    Source &source_;
    MallocPtr<std::uint8_t> chunk_;
    std::size_t unread_bytes_;
    Saturation saturation_;
    Isa isa_;
    std::size_t position_ = 0;
    std::size_t available_ = 0;
    std::size_t bytes_read_ = 0;
    std::uint64_t saturated_ = 0;
    int system_error_ = 0;
};

} // namespace

Fault read_head(Source &source, Head &head) noexcept {
    // The header is skipped by reading it with the row table: no seek, so pipes work.
    const ReadResult got = source.read(head.data(), head.size());
    if (!got.complete(head.size())) {
        Fault f = fault(FaultKind::tra_header_short,
                        source.size_known() ? source.size() : static_cast<std::int64_t>(got.bytes),
                        static_cast<std::int64_t>(kStreamOffset));
        f.system_error = got.system_error;
        return f;
    }
    return {};
}

Fault expand_row_table(std::span<const std::uint8_t> head, RowSpans &spans) noexcept {
    spans = {};
    if (head.size() < kStreamOffset) {
        return fault(FaultKind::tra_header_short, static_cast<std::int64_t>(head.size()),
                     static_cast<std::int64_t>(kStreamOffset));
    }
    for (std::size_t i = 0; i < kRowTableEntries; ++i) {
        // The low bit of a table value is not part of the width; the half-width is what is stored.
        const auto half =
            static_cast<std::uint16_t>(load_le<std::uint16_t>(head.data() + kHeaderBytes + 2 * i) >> 1);
        if (half > kCentre) {
            return fault(FaultKind::tra_row_table, static_cast<std::int64_t>(i), half);
        }
        spans.half_width[i] = half;
        spans.half_width[kGridSize - 1 - i] = half;
        spans.stream_count += 4 * std::size_t{half};
    }
    return {};
}

Fault recognise(std::span<const std::uint8_t> head, std::int64_t size, RowSpans &spans) noexcept {
    if (head.size() < kStreamOffset) {
        return fault(FaultKind::unknown_short, size >= 0 ? size : static_cast<std::int64_t>(head.size()));
    }
    if (Fault f = expand_row_table(head, spans)) {
        return fault(FaultKind::unknown_row, f.a, 2 * f.b);
    }
    const std::int64_t expected = static_cast<std::int64_t>(kStreamOffset + 2 * spans.stream_count);
    if (size >= 0 && (size < expected || size - expected >= kPaddingBlock)) {
        return fault(FaultKind::unknown_length, expected, size);
    }
    return {};
}

Fault read_spans(Source &source, Head &head, RowSpans &spans) noexcept {
    if (Fault f = read_head(source, head)) {
        return f;
    }
    return expand_row_table(head, spans);
}

Fault open_spans(const char *path, Source &source, Head &head, RowSpans &spans) noexcept {
    if (Fault f = source.open(path)) {
        return f;
    }
    return read_spans(source, head, spans);
}

Fault read_grid(Source &source, const RowSpans &spans, std::int32_t *grid, Saturation saturation, Isa isa,
                std::uint64_t &saturated) noexcept {
    StreamReader stream(source, spans.stream_count, saturation, isa);
    if (!stream.has_scratch()) {
        return fault(FaultKind::no_memory,
                     static_cast<std::int64_t>(std::min(kChunkBytes, 2 * spans.stream_count)));
    }
    struct GridRows {
        std::int32_t *grid;
        std::int32_t *row(std::size_t r) const noexcept { return grid + r * kGridSize; }
        void done(std::size_t, const std::int32_t *) const noexcept {}
    } rows{grid};
    if (!place_rows(spans, stream, rows)) {
        Fault f = fault(FaultKind::tra_stream_short, static_cast<std::int64_t>(spans.stream_count),
                        values_held(source, stream.bytes_read()));
        f.system_error = stream.system_error();
        return f;
    }
    saturated = stream.saturated();
    return {};
}

Fault read_stream(Source &source, const RowSpans &spans, Stream &stream) noexcept {
    stream.spans = spans;
    const std::size_t bytes = 2 * spans.stream_count;
    stream.bytes = malloc_array<std::uint8_t>(bytes);
    if (!stream.bytes) {
        return fault(FaultKind::no_memory, static_cast<std::int64_t>(bytes));
    }
    const ReadResult got = source.read(stream.bytes.get(), bytes);
    if (!got.complete(bytes)) {
        Fault f = fault(FaultKind::tra_stream_short, static_cast<std::int64_t>(spans.stream_count),
                        values_held(source, got.bytes));
        f.system_error = got.system_error;
        return f;
    }
    return {};
}

void mark_unrecorded(const RowSpans &spans, std::uint8_t *mask) noexcept {
    for (std::size_t row = 0; row < std::size_t{kGridSize}; ++row) {
        std::uint8_t *out = mask + row * kGridSize;
        const std::size_t half = spans.half_width[row];
        std::memset(out, 1, kCentre - half);
        std::memset(out + kCentre - half, 0, 2 * half);
        std::memset(out + kCentre + half, 1, kCentre - half);
    }
}

} // namespace plateio::tra
