// What went wrong in a read, as a value, with the numbers a person needs.
//
// Nothing below the exported functions prints. Every step returns a Fault, and each exported function
// decides how to say it: the specified functions through one table of their fixed console messages,
// the quiet functions through a PLATEIO_E_ code and a one-line reason (describe()).
#pragma once

#include <cstddef>
#include <cstdint>

namespace plateio {

enum class FaultKind : std::uint8_t {
    none,
    argument,    // a NULL argument or an unknown flag; what: says which
    cannot_open, // system_error: why

    // Neither family (detection).
    unknown_short,  // a: file size, shorter than a TRA header and row table
    unknown_row,    // a: row, b: its width in pixels, wider than the grid
    unknown_length, // a: bytes a TRA row table calls for, b: file size

    // The X-Area container.
    container_short, // a: bytes read, fewer than the 104-byte file header
    container_magic, // the first bytes are not the X-Area magic
    toc_count,       // a: entry count, negative or more than the platform can size
    toc_no_memory,   // a: bytes of the table
    toc_short,       // a: entry count, b: entries there are
    no_header_entry, // a: entries searched
    header_seek,     // a: offset
    header_corrupt,  // a: length, b: offset (negative length, or the file ends inside the entry)
    no_pixel_entry,  // a: entries searched
    pixel_seek,      // a: offset
    pixel_corrupt,   // a: length, b: offset (negative length, or the file ends inside the entry)
    block_no_memory, // a: bytes of the pixel entry (or of its value sections)

    // The import of X-Area pixels.
    image_size,   // a: width, b: height (negative, or too many pixels)
    codes_short,  // a: pixels, b: entry length: a code a pixel is needed (coded), 4 bytes a pixel (plain)
    plain_short,  // a: bytes needed, b: entry length
    values_short, // a: 16-bit values taken, b: 32-bit values taken, what: which section ends early

    // TRA files.
    tra_header_short, // a: bytes there are, fewer than the header and row table
    tra_row_table,    // a: row, b: its half-width, above 600
    tra_stream_short, // a: stream values the row table calls for, b: values there are

    // Any reader.
    no_memory,     // a: bytes
    capacity,      // a: elements needed, b: the host's capacity
    path_too_long, // a: length of the path
};

struct [[nodiscard]] Fault {
    FaultKind kind = FaultKind::none;
    std::int64_t a = 0;
    std::int64_t b = 0;
    const char *what = nullptr; // fixed words some faults carry
    int system_error = 0;       // errno of a failed system call, when one failed

    explicit operator bool() const noexcept { return kind != FaultKind::none; }
};

inline Fault fault(FaultKind kind, std::int64_t a = 0, std::int64_t b = 0) noexcept {
    return Fault{kind, a, b, nullptr, 0};
}

// The quiet functions' result code for a fault: PLATEIO_OK for none.
std::int32_t result_code(const Fault &f) noexcept;

// One line that says what is wrong, with the fault's numbers, into `out` (zero-terminated, cut to
// `capacity`).
void describe(const Fault &f, char *out, std::size_t capacity) noexcept;

} // namespace plateio
