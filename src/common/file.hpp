// The file a call reads: a handle that closes itself, or the host's bytes in memory; what is known of
// its size, and reads that say how they ended.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "common/fault.hpp"

namespace plateio {

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};

using File = std::unique_ptr<std::FILE, FileCloser>;

// How a read of a fixed number of bytes ended.
struct ReadResult {
    std::size_t bytes = 0; // bytes read
    int system_error = 0;  // errno when the read failed rather than met the end of the file
    bool complete(std::size_t wanted) const noexcept { return bytes == wanted; }
};

// One opened file, or a span of memory read as one. Reads are sequential from the start unless a seek
// says otherwise; the first bytes may be peeked at (to tell the family) and are then handed out again
// by the next reads, so that a pipe need not be read twice and a regular file need not be sought back.
// In memory every read and seek behaves as on a regular file of the span's length, and no byte outside
// the span is ever touched.
class Source {
  public:
    static constexpr std::size_t kPeekBytes = 1536;

    // Opens `path` for reading in binary mode. cannot_open (with the system's reason) when it cannot.
    Fault open(const char *path) noexcept;

    // Reads the `length` bytes at `bytes` as the file (`bytes` may be null for an empty one).
    // Requires a length that an int64 holds.
    void open_memory(const void *bytes, std::size_t length) noexcept;

    // Closes the file before the call ends (before a host routine runs, say).
    void close() noexcept { file_.reset(); }

    // The size of a regular file in bytes; -1 for a pipe, a socket or a device, whose length is not
    // known in advance.
    std::int64_t size() const noexcept { return size_; }
    bool size_known() const noexcept { return size_ >= 0; }

    // Reads up to kPeekBytes from the start (only before any other read) and keeps them, so that the
    // reads that follow hand them out again. Returns the bytes there were.
    std::span<const std::uint8_t> peek() noexcept;
    int peek_error() const noexcept { return peek_error_; }

    // Reads `count` bytes at the current position into `into`.
    ReadResult read(void *into, std::size_t count) noexcept;

    // Moves to `offset` from the start; false (errno in `system_error`) when the file cannot seek
    // there. A seek past the end of a regular file succeeds; the read after it comes up short.
    bool seek(std::int64_t offset, int *system_error = nullptr) noexcept;

  private:
    File file_;
    const std::uint8_t *memory_ = nullptr; // in memory: the span, and the position in it
    bool in_memory_ = false;
    std::uint64_t position_ = 0;
    std::int64_t size_ = -1;
    std::array<std::uint8_t, kPeekBytes> peeked_{};
    bool peeked_once_ = false;
    std::size_t peeked_bytes_ = 0;
    std::size_t replayed_ = 0; // bytes of peeked_ handed out again so far
    int peek_error_ = 0;
};

} // namespace plateio
