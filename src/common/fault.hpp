// What went wrong in a read, as a value, with the numbers a person needs.
//
// Nothing below the exported functions prints. Every step returns a Fault, and each exported function
// (src/api) decides how to say it: the specified functions through their fixed console messages, the
// quiet functions through a PLATEIO_E_ code and a one-line reason.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plateio {

// Every kind of fault, one line each: its name; the quiet functions' result code; the one-line reason
// they give, where {a}, {b} and {what} stand for the fault's numbers and words and {system} for the
// system's reason in parentheses (nothing when no system call failed); and what readXImage prints for
// it (nullptr: a fault the container reader never meets). The readers that take the container from
// readXImage print its message too, but for a file that cannot be opened.
// clang-format off
#define PLATEIO_FAULT_KINDS(X)                                                                              \
    X(none, PLATEIO_OK, "", nullptr)                                                                         \
    /* a NULL argument or an unknown flag; what: says which */                                              \
    X(argument, PLATEIO_E_ARGUMENT, "{what}", " readXImage(): unable to open file ")                        \
    X(cannot_open, PLATEIO_E_OPEN, "cannot open the file{system}", " readXImage(): unable to open file ")   \
    /* Neither family (detection). a: file size, shorter than a TRA header and row table */                 \
    X(unknown_short, PLATEIO_E_FORMAT, "not a TRA or X-Area file: no X-Area magic, and at {a} bytes too "   \
      "short for a TRA header and row table (1536 bytes)", nullptr)                                          \
    /* a: row, b: its width in pixels, wider than the grid */                                               \
    X(unknown_row, PLATEIO_E_FORMAT, "not a TRA or X-Area file: no X-Area magic, and TRA row {a} would be " \
      "{b} pixels wide, more than the grid's 1200", nullptr)                                                 \
    /* a: bytes a TRA row table calls for, b: file size */                                                  \
    X(unknown_length, PLATEIO_E_FORMAT, "not a TRA or X-Area file: no X-Area magic, and its TRA row table " \
      "calls for {a} bytes, but it has {b}", nullptr)                                                        \
    /* The X-Area container. a: bytes read, fewer than the 104-byte file header */                          \
    X(container_short, PLATEIO_E_NOT_CONTAINER, "X-Area file header cut short: {a} of 104 bytes{system}",  \
      " readXImage(): no stoe xfile ERROR\n")                                                                \
    /* the first bytes are not the X-Area magic */                                                          \
    X(container_magic, PLATEIO_E_NOT_CONTAINER, "not an X-Area file: the first 11 bytes are not "          \
      "\"STOE_XFILE\" and a zero", " readXImage(): no stoe xfile ERROR\n")                                   \
    /* a: entry count, negative or more than the platform can size */                                       \
    X(toc_count, PLATEIO_E_TOC, "table of contents: an entry count of {a} cannot be",                       \
      " readXImage(): no memory ERROR\n")                                                                    \
    /* a: bytes of the table */                                                                             \
    X(toc_no_memory, PLATEIO_E_NO_MEMORY, "no memory for a table of contents of {a} bytes",                 \
      " readXImage(): no memory ERROR\n")                                                                    \
    /* a: entry count, b: entries there are */                                                              \
    X(toc_short, PLATEIO_E_TOC, "table of contents cut short: {a} entries announced, {b} in the "           \
      "file{system}", " readXImage(): error reading toc ERROR\n")                                            \
    /* a: entries searched */                                                                               \
    X(no_header_entry, PLATEIO_E_NO_HEADER, "no \"XArea_ImgHdr\" entry among the {a} entries searched",     \
      " readXImage(): the file contains no image headerERROR\n")                                             \
    /* a: offset */                                                                                         \
    X(header_seek, PLATEIO_E_HEADER_SEEK, "cannot seek to the image header entry at offset {a}{system}",    \
      " readXImage(): bad seek for image header ERROR\n")                                                    \
    /* a: length, b: offset (negative length, or the file ends inside the entry) */                         \
    X(header_corrupt, PLATEIO_E_CORRUPT, "image header entry of {a} bytes at offset {b} is not in the "     \
      "file{system}", " readXImage(): corrupt file ERROR\n")                                                 \
    /* a: entries searched */                                                                               \
    X(no_pixel_entry, PLATEIO_E_NO_PIXELS, "no \"XArea_Image\" entry among the {a} entries searched",       \
      " readXImage(): the file contains no image data ERROR\n")                                              \
    /* a: offset */                                                                                         \
    X(pixel_seek, PLATEIO_E_PIXEL_SEEK, "cannot seek to the pixel entry at offset {a}{system}",             \
      " readXImage(): bad seek for image data ERROR\n")                                                      \
    /* a: length, b: offset (negative length, or the file ends inside the entry) */                         \
    X(pixel_corrupt, PLATEIO_E_CORRUPT, "pixel entry of {a} bytes at offset {b} is not in the file{system}",\
      " readXImage(): corrupt file ERROR\n")                                                                 \
    /* a: bytes of the pixel entry (or of its value sections) */                                            \
    X(block_no_memory, PLATEIO_E_NO_MEMORY, "no memory for {a} bytes", " readXImage(): no memory ERROR\n")  \
    /* The import of X-Area pixels. a: width, b: height (negative, or too many pixels) */                   \
    X(image_size, PLATEIO_E_SIZE, "an image of {a} x {b} pixels cannot be read", nullptr)                   \
    /* a: pixels, b: entry length */                                                                        \
    X(codes_short, PLATEIO_E_SHORT, "difference-coded pixel entry of {b} bytes holds fewer codes than its " \
      "{a} pixels", nullptr)                                                                                 \
    /* a: bytes needed, b: entry length */                                                                  \
    X(plain_short, PLATEIO_E_SHORT, "plain pixel entry of {b} bytes is shorter than its pixels' {a} bytes", \
      nullptr)                                                                                               \
    /* a: 16-bit values taken, b: 32-bit values taken, what: which section ends early */                   \
    X(values_short, PLATEIO_E_SHORT, "difference-coded pixel entry ends inside its {what} values: the "     \
      "codes take {a}, the entry holds {b}", nullptr)                                                        \
    /* TRA files. a: bytes there are, b: bytes of the header and row table */                               \
    X(tra_header_short, PLATEIO_E_SHORT, "TRA file of {a} bytes is shorter than its {b}-byte "              \
      "header{system}", nullptr)                                                                             \
    /* a: row, b: its half-width, above 600 */                                                              \
    X(tra_row_table, PLATEIO_E_ROW_TABLE, "TRA row table: row {a} has half-width {b}, more than the "       \
      "grid's 600", nullptr)                                                                                 \
    /* a: stream values the row table calls for, b: values there are */                                     \
    X(tra_stream_short, PLATEIO_E_SHORT, "TRA pixel stream cut short: the row table calls for {a} values, " \
      "the file holds {b}{system}", nullptr)                                                                 \
    /* Any reader. a: bytes */                                                                              \
    X(no_memory, PLATEIO_E_NO_MEMORY, "no memory for {a} bytes", nullptr)                                   \
    /* a: elements needed, b: the host's capacity */                                                        \
    X(capacity, PLATEIO_E_CAPACITY, "the array holds {b} elements, the image has {a}", nullptr)             \
    /* a: length of the path */                                                                             \
    X(path_too_long, PLATEIO_E_PATH, "a path of {a} bytes does not fit the 4096 of image_info.path", nullptr)
// clang-format on

#define PLATEIO_FAULT_KIND_NAME(name, code, reason, message) name,
enum class FaultKind : std::uint8_t { PLATEIO_FAULT_KINDS(PLATEIO_FAULT_KIND_NAME) };
#undef PLATEIO_FAULT_KIND_NAME

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

} // namespace plateio
