/*
 * plateio -- readers for two-dimensional X-ray area-detector exposures (image plates) and the
 * detector's geometry correction.
 *
 * Two file families are read:
 *   - TRA files: one exposure on a fixed 1200 x 1200 grid. Each grid row stores only a span centred
 *     on the middle column; the spans of the top and bottom halves mirror each other. A 336-byte
 *     header carries exposure values as word-swapped VAX reals.
 *   - X-Area image files: a container with a table of contents, from which the image header record
 *     ("XArea_ImgHdr") and the pixel block ("XArea_Image", plain or difference-coded) are taken.
 *
 * Conventions of every function below:
 *   - The twelve readers and transforms return 1 for success and 0 for failure (or nothing), and
 *     report a failure on standard output (through the C library's stdout) with the message given in
 *     the function's description; they print nothing else except where a description says so. The
 *     quiet plateio_ functions return 0 for success or a positive PLATEIO_E_ code, and never print
 *     (see "The quiet API").
 *   - A reader that fails leaves the host's records and out-parameters as they were (readXImage is
 *     the one exception, see there) and keeps nothing allocated or open.
 *   - Blocks handed to the host are allocated with malloc() and released by the host with free().
 *   - Nothing is kept between calls: no global or static data, no handles. Calls on different threads
 *     with different records do not interfere (the host routines sind, cosd and binning aside);
 *     console messages from concurrent calls may interleave.
 *   - Pixel arrays are signed 32-bit values, row-major: column x of row y is element y * width + x.
 *   - A NULL where a function needs a pointer (a path, a record, an out-parameter) is never
 *     dereferenced nor passed to printf: a reader then fails with its own message (a NULL path shown
 *     as "(null)") and writes nothing; each description says what its function does.
 *   - The records hold exactly the members below, in this order. A host whose own records carry
 *     members of its own between these keeps those elsewhere, or copies the values over after a call.
 *   - Multi-byte fields of the files are little-endian, and so is xi_header, which holds a file's
 *     bytes as they are (see there). The host's records (image_info, pixel_image, reduction_params,
 *     remap_target, geometry_params, plateio_frame) hold values in host byte order on every host,
 *     little-endian or big-endian.
 *
 * This header is valid C99 and C++.
 */
#ifndef PLATEIO_H
#define PLATEIO_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header; plateio_version() gives the library's at run time. */
#define PLATEIO_VERSION_MAJOR 1
#define PLATEIO_VERSION_MINOR 1
#define PLATEIO_VERSION_PATCH 0

#if defined(__GNUC__)
#define PLATEIO_API __attribute__((visibility("default")))
#else
#define PLATEIO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The pixel value stored in place of a saturated TRA pixel (stream value 65535) and of an X-Area
 * pixel above its file's overflow threshold. */
#define PIXEL_OVERFLOW 256001

/* Bytes of image_info.path, terminating zero included. A reader refuses a longer path rather than
 * storing a truncated one. */
#define PLATEIO_PATH_CAPACITY 4096

/* The value a host stores in reduction_params.geometry2 to say "not set" (see read_xi). */
#define PLATEIO_UNSET (-999.0)

/* ---------------------------------------------------------------------------------------------- */
/* Records                                                                                         */
/* ---------------------------------------------------------------------------------------------- */

/* Description of one exposure, filled alike by read_tra_header and read_xi_header (and, in a
 * plateio_frame, by the quiet functions). Where a format carries no value, a fixed value standing for
 * "absent" is stored (see the readers). */
typedef struct image_info {
    int32_t overload_count;           /* overflowed pixels recorded for the exposure; -1 for TRA */
    double geometry[9];               /* exposure values; the same index means the same value in both
                                         formats (TRA: 0 to 5 only, [1] always 0.0, [6] to [8] untouched) */
    int32_t setting;                  /* an integer header value passed through; -1 for TRA */
    int32_t overflow_threshold;       /* level above which a pixel counts as overflowed; -1 for TRA */
    double scale_value;               /* a real header value passed through; -1.0 for TRA */
    char path[PLATEIO_PATH_CAPACITY]; /* the path the record was read from, zero-terminated */
} image_info;

/* The image header record of an X-Area file: a byte-for-byte copy of the file's "XArea_ImgHdr"
 * entry (record byte k is byte k of the entry), exactly 412 bytes. The named members are the
 * fields the library interprets; the unused_* bytes are carried along uninterpreted. The record is
 * packed to 4 bytes so that its size is 412 on every ABI; the doubles still sit at offsets that are
 * multiples of 8.
 * Being the file's bytes, its multi-byte members are little-endian on every host, and the library
 * reads them as such: a record from readXImage, or one a host fills with a file's bytes, works
 * unchanged with uncompressImage on a big-endian host too. There a host reads the members through a
 * byte swap, or takes them from a plateio_frame (plateio_probe), whose values are in host order; a
 * host that builds a record by assignment on a big-endian machine must store each field
 * little-endian. */
#if defined(__GNUC__) || defined(_MSC_VER)
#pragma pack(push, 4)
#endif
typedef struct xi_header {
    uint8_t unused_0[16];
    int32_t compression; /* byte 16: 1 = the pixel block is difference-coded; else plain int32 */
    int32_t width;       /* byte 20: pixels per row */
    int32_t height;      /* byte 24: rows */
    uint8_t unused_28[68];
    int32_t geometry6; /* byte 96: image_info.geometry[6], converted to double */
    int32_t geometry7; /* byte 100: image_info.geometry[7], converted to double */
    int32_t geometry8; /* byte 104: image_info.geometry[8], converted to double */
    uint8_t unused_108[44];
    double geometry4; /* byte 152 */
    uint8_t unused_160[16];
    double geometry2; /* byte 176 */
    uint8_t unused_184[16];
    double geometry0; /* byte 200 */
    uint8_t unused_208[8];
    double geometry1; /* byte 216 */
    double geometry3; /* byte 224 */
    double geometry5; /* byte 232 */
    uint8_t unused_240[88];
    int32_t setting;            /* byte 328: passed through to the host */
    int32_t overflow_threshold; /* byte 332: a pixel above it is marked PIXEL_OVERFLOW by read_xi */
    double scale_value;         /* byte 336: passed through to the host */
    int32_t overload_count;     /* byte 344: overflowed pixels as the file records them */
    int32_t delta16_count;      /* byte 348: 16-bit values of a difference-coded block */
    int32_t delta32_count;      /* byte 352: 32-bit values of a difference-coded block */
    uint8_t unused_356[56];
} xi_header;
#if defined(__GNUC__) || defined(_MSC_VER)
#pragma pack(pop)
#endif

/* The host's image record, filled by read_xi. Only these members: a host whose record has members of
 * its own between them copies the values over. */
typedef struct pixel_image {
    int32_t *pixels;            /* new array of width * height pixels; the host frees it */
    int32_t width;              /* pixels per row */
    int32_t height;             /* rows */
    int32_t overflow_threshold; /* the file's overflow threshold */
    int32_t pixel_count;        /* width * height */
    int32_t overflow_count;     /* pixels above overflow_threshold, stored as PIXEL_OVERFLOW */
    double scale_value;         /* header scale_value */
    double geometry1;           /* header geometry1 */
    double geometry0;           /* header geometry0 */
} pixel_image;

/* The host's reduction parameters, six of which read_xi takes from the file (only these members). */
typedef struct reduction_params {
    double geometry2; /* taken from the file only when it holds PLATEIO_UNSET (or NaN) on entry */
    double geometry4;
    double geometry0;
    double geometry1;
    double geometry3;
    double geometry5;
} reduction_params;

/* The host's target of read_az_tra (only the members the library uses). */
typedef struct remap_target {
    int32_t *cells;         /* the host's array; entries named by the index map are overwritten */
    int32_t grid_mode;      /* 600: copy the 1200 x 1200 grid as is; else bin it first */
    int32_t cell_count;     /* number of entries of cells */
    int32_t overload_count; /* PIXEL_OVERFLOW values copied by the last call */
    double aux_value;       /* set to 0.0 by a successful call */
} remap_target;

/* The eight parameters of the geometry correction. Lengths are in the unit of the point and the
 * distance; angles in degrees. */
typedef struct geometry_params {
    double radial_shift;     /* added to the distance from the origin */
    double tangential_shift; /* arc length by which the point turns about the origin */
    double offset_x;         /* subtracted from x */
    double offset_y;         /* subtracted from y */
    double distance_offset;  /* perspective scale (distance - distance_offset) / distance */
    double tilt_y;           /* tilt of the y perspective stage */
    double tilt_x;           /* tilt of the x perspective stage */
    double rotation;         /* positive turns the +x axis toward +y */
} geometry_params;

/* ---------------------------------------------------------------------------------------------- */
/* TRA files                                                                                       */
/* ---------------------------------------------------------------------------------------------- */

/* Reads a TRA exposure into a new 1200 x 1200 image of 32-bit pixels, row-major. Pixels outside the
 * recorded row spans are 0; a saturated pixel (stream value 65535) becomes PIXEL_OVERFLOW.
 * On success stores the image in *pixels (release it with free()), 1200 in *width and *height and
 * returns 1. A file that cannot be opened, is damaged (shorter than its row table and pixel stream
 * say, or a row wider than the grid) or cannot be loaded for want of memory gives 0, the message
 * "# \033[0mERROR\033[0m READING <path> returning 0\n" and untouched out-parameters; so does a
 * NULL path ("(null)" in the message) or a NULL out-parameter, and nothing is written.
 * The file is read sequentially from its start, so it may be a pipe. */
PLATEIO_API int32_t read_tra(const char *path, int32_t **pixels, int32_t *width, int32_t *height);

/* As read_tra, but every stream value, 65535 included, is stored unchanged, and the failure message
 * is "# \033[0mERROR\033[0m READING <path>\n". */
PLATEIO_API int32_t read_short_tra(const char *path, int32_t **pixels, int32_t *width, int32_t *height);

/* Fills *info from the header of a TRA file: geometry[4], [2], [0], [3] from the VAX D_floating
 * fields at offsets 116, 140, 178 and 186, geometry[5] from the F_floating field at 194, geometry[1]
 * = 0.0; overload_count, setting and overflow_threshold -1, scale_value -1.0; path a copy of the
 * argument. geometry[6] to [8] keep what they held. Reads only the header's first 204 bytes.
 * Returns 1; or 0 with "# \033[0mERROR\033[0m READING <path>\n" and *info untouched when the file
 * cannot be opened, is shorter than 204 bytes, or the path does not fit image_info.path, or when
 * `path` ("(null)") or `info` is NULL. */
PLATEIO_API int32_t read_tra_header(const char *path, image_info *info);

/* Decodes an 8-byte VAX D_floating field (bytes in file order) from its first four bytes: the two
 * 16-bit halves are swapped, read as a little-endian IEEE single and multiplied by 0.25. The last
 * four bytes (low fraction bits) are ignored. Prints nothing. NULL gives 0.0. */
PLATEIO_API double convert_8_to_double(const void *bytes);

/* Decodes a 4-byte word-swapped integer: bytes b0 b1 b2 b3 give the two's-complement integer whose
 * little-endian bytes are b2 b3 b0 b1. Traces the field on standard output first: each byte in file
 * order as " %x" (a blank and lower-case hexadecimal), no line end. NULL gives 0 and prints nothing. */
PLATEIO_API int32_t convert_4_to_int(const void *bytes);

/* Reads a TRA exposure into the host's array through an index map. The 1200 x 1200 grid is built as
 * by read_tra (65535 becomes PIXEL_OVERFLOW). When target->grid_mode is not 600 the grid is first
 * handed, once and after the file is closed, to binning(&grid, 2, &width, &height, 9999999), which
 * may change it in place or replace it (freeing the old block is then binning's business); the
 * block, width and height it leaves are the ones copied, and that block is the one freed. Then grid
 * pixel i (row-major at the size binning left) is stored into target->cells[(*index_map)[i]] when
 * that entry lies in 0 .. cell_count - 1, later pixels overwriting earlier ones; every
 * PIXEL_OVERFLOW stored is counted in overload_count. A binning that leaves a width or height below
 * 1, or no block, copies nothing. aux_value is set to 0.0. The map must hold width * height entries.
 * overload_count is set to 0 first, even when the call then fails. Returns 1; or 0 with
 * "# \033[0mERROR\033[0m READING <path>\n" when the file cannot be opened or is damaged, or memory
 * runs out, with nothing else in *target changed; the same when `path` ("(null)"), `target`,
 * `index_map` or *index_map is NULL, or target->cells is NULL with a cell_count above 0 (a NULL
 * target is not written at all). */
PLATEIO_API int32_t read_az_tra(const char *path, remap_target *target, int32_t **index_map);

/* ---------------------------------------------------------------------------------------------- */
/* X-Area files                                                                                    */
/* ---------------------------------------------------------------------------------------------- */

/* Reads the container of an X-Area file: checks the magic "STOE_XFILE", reads the table of
 * contents, copies the first entry named "XArea_ImgHdr" into *header (at most 412 bytes; the record
 * is cleared first) and the first entry named "XArea_Image" into a new block stored in *block
 * (the entry's bytes; release it with free()). The block is sealed so that uncompressImage knows
 * where the entry ends: hand it on as it is, neither moved nor resized.
 * Returns 1; or 0 after one of its messages (" readXImage(): ..." without a line end, followed by
 * the line "ERROR" for every failure but a file that cannot be opened). On a failure after the
 * header entry was read, *header already holds it; on a failure while taking the pixel entry,
 * *block is set to NULL; earlier failures leave *block as it was. A NULL argument gives 0 with
 * " readXImage(): unable to open file " and nothing written. Through a pipe or a device the table
 * of contents and the entry grow as their bytes arrive, so a damaged count reserves no more memory
 * than was read. */
PLATEIO_API int32_t readXImage(const char *path, xi_header *header, void **block);

/* Replaces a difference-coded pixel block by its width * height decoded pixels when
 * header->compression is 1, and does nothing otherwise. *block must come from malloc (as readXImage
 * hands it out); it is released and *block receives the new array (release it with free()).
 * Of a block from readXImage no byte behind the entry is ever decoded. A block the host made itself
 * is taken to be as long as its allocation (malloc_usable_size): make it complete, or clear it to its
 * allocated size.
 * An entry that ends early: pixels past the last code it holds are 0 (and cost no memory: the array
 * starts as zero pages and only the pixels the entry describes are written); a code whose value lies
 * past the entry's end, or past its section, adds 0 and is counted. Such a block, or one whose codes
 * take other numbers of 16-bit and 32-bit values than the header gives, is reported with
 * "<32-bit taken> <delta32_count> <16-bit taken> <delta16_count>\n" and then
 * " uncompressImage(): corrupt imagedata " (no line end); the decoded pixels are used all the same.
 * When the output cannot be allocated, or width or height is negative or their product too large for
 * an array, prints " uncompressImage(): no memory" (no line end) and leaves *block as it was, still
 * compressed. A NULL header, block pointer or block: does nothing. */
PLATEIO_API void uncompressImage(const xi_header *header, void **block);

/* Loads an X-Area exposure into *image: width, height, pixel_count, overflow_threshold,
 * scale_value, geometry1, geometry0 from the header, and a new pixel array (release it with free();
 * a pointer the record held before is overwritten, not freed) in which every pixel above the
 * threshold is stored as PIXEL_OVERFLOW and counted in overflow_count. Sets params->geometry4, 0,
 * 1, 3, 5 from the header, and geometry2 only when it holds PLATEIO_UNSET or NaN on entry.
 * Returns 1; or 0 with records untouched after readXImage's own message, or with
 * "# \033[31;1mERROR\033[0m READING <path>\n" when the file cannot be opened, `path` ("(null)"),
 * `image` or `params` is NULL, memory runs out, width or height is negative or their product too
 * large (for an int32 pixel_count too), or the pixel entry cannot give every pixel: a plain entry
 * shorter than 4 bytes a pixel, a coded one with fewer codes than pixels or a code whose value lies
 * past the entry's end. Header counts that disagree with what the codes take do not refuse the file:
 * it is loaded (result 1) after uncompressImage's two messages. */
PLATEIO_API int32_t read_xi(const char *path, pixel_image *image, reduction_params *params);

/* Fills *info from an X-Area file's header record: geometry[0] to [5] from geometry0 to geometry5,
 * geometry[6] to [8] from the three integers, setting, overflow_threshold, scale_value,
 * overload_count, and path. Reads no pixel: it refuses (0, *info untouched) only where readXImage
 * fails (with readXImage's message), and with "# \033[31;1mERROR\033[0m READING <path>\n" for a
 * file that cannot be opened, a path that does not fit image_info.path, or a NULL `path` ("(null)")
 * or `info`. Any width, height and plain entry give 1. For a difference-coded block it prints what
 * uncompressImage would print for it (" uncompressImage(): no memory" for a negative side, else the
 * count report when the entry ends early or the counts disagree), counting only the codes the entry
 * holds. */
PLATEIO_API int32_t read_xi_header(const char *path, image_info *info);

/* ---------------------------------------------------------------------------------------------- */
/* Geometry correction                                                                             */
/* ---------------------------------------------------------------------------------------------- */

/* Applies the detector geometry correction to point[0] (x) and point[1] (y): rotation, radial shift
 * with twist, offsets, and the perspective stage of each coordinate. A shifted coordinate below
 * 2^-1022 in magnitude (or NaN) gives 0, so a point at the origin, or one with an infinite or NaN
 * coordinate, becomes (0, 0). Calls sind(rotation), cosd(rotation), then cosd(-tilt_x), sind(-tilt_x)
 * only when x is not taken as 0, then cosd(tilt_y), sind(tilt_y) only when y is not. Reads both
 * coordinates, then writes y, then x. Keeps no state; prints nothing. A NULL point or params: does
 * nothing. */
PLATEIO_API void correct_cry(double *point, const geometry_params *params, double distance);

/* Applies the inverse correction, stage by stage in reverse order. It is exact when distance_offset
 * is 0 and either radial_shift is 0 or the offsets and tilts are 0; otherwise a small residual is
 * intended. An input coordinate below 1e-20 in magnitude is taken as 0 (only its offset remains).
 * The origin gives two NaN values. Calls cosd(-tilt_x), sind(-tilt_x) unless x is taken as 0, then
 * cosd(tilt_y), sind(tilt_y) unless y is, then sind(-rotation), cosd(-rotation). Reads both
 * coordinates, then writes x, then y. Keeps no state; prints nothing. A NULL point or params: does
 * nothing. */
PLATEIO_API void anti_correct(double *point, const geometry_params *params, double distance);

/* ---------------------------------------------------------------------------------------------- */
/* The quiet API                                                                                   */
/* ---------------------------------------------------------------------------------------------- */

/* Functions for hosts that handle failures themselves. They never write to standard output or
 * standard error: a failure is a positive PLATEIO_E_... code (0 is success), named by
 * plateio_strerror(), and, where the call has a frame, one line of text in frame->reason that says
 * what is wrong with the numbers involved. A NULL frame gives PLATEIO_E_ARGUMENT and nothing else;
 * a NULL path, or a NULL array with a capacity above 0, gives PLATEIO_E_ARGUMENT with its reason.
 * The family of a file is told by its content, never by its name. They keep no state and are
 * safe to call from several threads at once on different frames and arrays
 * (plateio_correct_points: as far as the host's sind and cosd allow). */

/* The file families, in plateio_frame.family. */
enum { PLATEIO_FAMILY_UNKNOWN = 0, PLATEIO_FAMILY_TRA = 1, PLATEIO_FAMILY_XAREA = 2 };

/* Results of the quiet functions. */
enum {
    PLATEIO_OK = 0,
    PLATEIO_E_ARGUMENT = 1,      /* a NULL pointer where one is needed, or an unknown flag */
    PLATEIO_E_OPEN = 2,          /* the file cannot be opened or read at all (the system's reason) */
    PLATEIO_E_FORMAT = 3,        /* neither a TRA nor an X-Area file */
    PLATEIO_E_NOT_CONTAINER = 4, /* X-Area magic, but no whole 104-byte file header */
    PLATEIO_E_TOC = 5,           /* the table of contents is cut short or its entry count impossible */
    PLATEIO_E_NO_HEADER = 6,     /* no "XArea_ImgHdr" entry */
    PLATEIO_E_HEADER_SEEK = 7,   /* the image header entry's offset cannot be reached */
    PLATEIO_E_NO_PIXELS = 8,     /* no "XArea_Image" entry */
    PLATEIO_E_PIXEL_SEEK = 9,    /* the pixel entry's offset cannot be reached */
    PLATEIO_E_CORRUPT = 10,      /* an entry's length is negative or it reaches past the file's end */
    PLATEIO_E_SHORT = 11,        /* the file or pixel entry ends before every pixel is given */
    PLATEIO_E_ROW_TABLE = 12,    /* a TRA row wider than the 1200-pixel grid */
    PLATEIO_E_SIZE = 13,         /* a negative width or height, or an image too large */
    PLATEIO_E_NO_MEMORY = 14,    /* memory ran out */
    PLATEIO_E_CAPACITY = 15,     /* the host's array holds fewer than width * height elements */
    PLATEIO_E_PATH = 16          /* the path does not fit image_info.path */
};

/* Warnings of a successful read, bits of plateio_frame.warnings. */
#define PLATEIO_WARN_COUNTS                                                                                  \
    1u /* X-Area: the codes take other numbers of 16- and 32-bit values than                                 \
          the header gives (the pixels are decoded all the same) */

/* plateio_read: keep the TRA saturation mark 65535 as read_short_tra does, instead of storing
 * PIXEL_OVERFLOW as read_tra does. No effect on X-Area files. */
#define PLATEIO_KEEP_SATURATED 1u

/* What the quiet functions tell about a file. All values are in host byte order. */
typedef struct plateio_frame {
    int32_t family;             /* PLATEIO_FAMILY_...; UNKNOWN when not told */
    int32_t width;              /* pixels per row (1200 for TRA); 0 when not known */
    int32_t height;             /* rows (1200 for TRA); 0 when not known */
    int32_t compressed;         /* 1: an X-Area difference-coded pixel block; 0 otherwise */
    int32_t overflow_threshold; /* a pixel above it overflowed: the X-Area header's value; 65534 for
                                   TRA, whose saturation mark is 65535 */
    int32_t overflow_count;     /* plateio_read: pixels stored as PIXEL_OVERFLOW (with
                                   PLATEIO_KEEP_SATURATED: TRA pixels kept at 65535); else -1 */
    image_info info;            /* the header's values as read_tra_header or read_xi_header store
                                   them, path included; for TRA geometry[6] to [8] are NaN */
    char reason[256];           /* on failure one line, what is wrong, with numbers; on success a
                                   warning's text, or empty */
    uint32_t warnings;          /* PLATEIO_WARN_... bits of a successful read; 0 otherwise */
    int32_t system_error;       /* on failure, the errno of the system call that failed (a file that
                                   cannot be opened: ENOENT, EACCES, EISDIR, ...); 0 when none did */
    int64_t pixel_bytes;        /* bytes of the file that hold the pixels: the X-Area pixel entry's
                                   length, the TRA pixel stream's (2 a recorded pixel); 0 when not told */
} plateio_frame;

/* "MAJOR.MINOR.PATCH" of the library loaded, equal to the PLATEIO_VERSION_ macros it was built with.
 * A static string; never release it. */
PLATEIO_API const char *plateio_version(void);

/* Tells the family of the file at `path` by its content and fills *frame with its size, coding,
 * threshold and header values (overflow_count -1), without reading a pixel: at most 64 KiB of any
 * file are read (of an X-Area file: its file header, at most the first 1500 entries of its table of
 * contents and its header entry). Checks what that much shows: an X-Area container whose entries
 * lie inside the file and whose pixel entry is long enough for its width and height (a plain one:
 * 4 bytes a pixel; a coded one: a code a pixel); a TRA file whose row table fits the grid and whose
 * length matches its pixel stream, with up to 511 bytes of padding behind it. Returns PLATEIO_OK, or
 * a code with frame->reason (the family, width and height are set as far as they were told). */
PLATEIO_API int32_t plateio_probe(const char *path, plateio_frame *frame);

/* Reads the pixels of a file of either family into the host's array `pixels` of `capacity` elements,
 * row-major, width * height of them: exactly the pixels read_tra gives (read_short_tra's with
 * PLATEIO_KEEP_SATURATED in `flags`) or read_xi gives, pixels above the threshold stored as
 * PIXEL_OVERFLOW and counted in frame->overflow_count. Fills *frame as plateio_probe does. A capacity
 * below width * height gives PLATEIO_E_CAPACITY with frame->width and height set, so a host can
 * allocate and call again (`pixels` may be NULL with capacity 0). A difference-coded block whose value
 * counts disagree with its header is read (PLATEIO_OK) with PLATEIO_WARN_COUNTS and the numbers in
 * frame->reason. On failure only *frame and, when the failure is found while pixels are being
 * stored, elements of the array change. Memory beyond the host's array: a bounded scratch, and the
 * 16- and 32-bit value sections of a coded entry. */
PLATEIO_API int32_t plateio_read(const char *path, int32_t *pixels, size_t capacity, plateio_frame *frame,
                                 uint32_t flags);

/* Stores into `mask` (capacity elements, row-major, width * height of them) 1 for every pixel the
 * file records no value for and 0 elsewhere: for TRA the pixels outside the row spans (off the round
 * plate), for X-Area none. Fills *frame as plateio_probe does; reads no pixel value (of a TRA file
 * only its header and row table). Capacity protocol and results as plateio_read. Overflowed pixels
 * are not marked: they carry a value, PIXEL_OVERFLOW. */
PLATEIO_API int32_t plateio_read_mask(const char *path, uint8_t *mask, size_t capacity, plateio_frame *frame);

/* plateio_read and plateio_read_mask on a file held in memory: the `length` bytes at `bytes` are read
 * as the content of a file of that length, with the same results, frame and capacity protocol
 * (`pixels` or `mask` NULL with capacity 0 fills the frame and gives PLATEIO_E_CAPACITY for an image
 * that is not empty). No byte outside bytes[0 .. length - 1] is read, and the bytes are not kept after
 * the call. frame->info.path is empty. A NULL `bytes` with a length above 0 gives PLATEIO_E_ARGUMENT;
 * a length of 0 is an empty file. A host uses them for content that is not a file of its own: a
 * decompressed stream, a buffer received, a part of a larger file. */
PLATEIO_API int32_t plateio_read_memory(const void *bytes, size_t length, int32_t *pixels, size_t capacity,
                                        plateio_frame *frame, uint32_t flags);
PLATEIO_API int32_t plateio_read_mask_memory(const void *bytes, size_t length, uint8_t *mask, size_t capacity,
                                             plateio_frame *frame);

/* A short text naming a result code ("success" for 0). A static string; never release it. */
PLATEIO_API const char *plateio_strerror(int32_t code);

/* Applies correct_cry (inverse 0) or anti_correct (inverse not 0) to `count` points stored as
 * interleaved (x, y) pairs in `xy`, in place: bit for bit what calling them point by point gives. The
 * sines and cosines of the parameters' angles come from the same routines (the host's sind and cosd,
 * or the built-ins), each distinct one asked once per call rather than once per point. NULL `xy` or
 * `params` does nothing. */
PLATEIO_API void plateio_correct_points(double *xy, size_t count, const geometry_params *params,
                                        double distance, int32_t inverse);

/* Which of the host routines sind, cosd and binning (below) the library calls are the host's own
 * rather than its built-ins: PLATEIO_HOST_ bits, set for each routine the host exports; 0 when it
 * supplies none. A routine the host defines but does not export (a static one, or one in an
 * executable loading the library at run time without -rdynamic), or one under another symbol name
 * (a Fortran function without bind(C) is sind_), is not seen and the built-in is used; this tells
 * such a host so. The answer is fixed when the library is loaded. Quiet and stateless. */
#define PLATEIO_HOST_SIND 1
#define PLATEIO_HOST_COSD 2
#define PLATEIO_HOST_BINNING 4
PLATEIO_API int32_t plateio_host_routines(void);

/* ---------------------------------------------------------------------------------------------- */
/* Host routines                                                                                   */
/* ---------------------------------------------------------------------------------------------- */

/* A host may supply these three routines; the library refers to them weakly, so a host that exports
 * them (an executable linked with -rdynamic, or a library loaded earlier with RTLD_GLOBAL) has its
 * own called, and a host that supplies none (a ctypes program, say) gets the library's built-ins:
 *   sind, cosd: sine and cosine of an angle in degrees, reduced in degrees first so that multiples
 *               of 90 give exactly 0, 1 and -1; accurate to an ulp or two for any finite angle.
 *   binning:    sums each factor x factor block into one pixel, in place, dividing *width and
 *               *height by factor (a ragged last row or column is dropped); a block holding a
 *               PIXEL_OVERFLOW pixel becomes PIXEL_OVERFLOW; a sum (taken in 64 bits) above limit
 *               is stored as limit. A factor below 1 does nothing.
 * The library never exports these names itself. */
double sind(double degrees);
double cosd(double degrees);
void binning(int32_t **grid, int32_t factor, int32_t *width, int32_t *height, int32_t limit);

#ifdef __cplusplus
}
#endif

#endif /* PLATEIO_H */
