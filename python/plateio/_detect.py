"""Which of the two file families a file belongs to, decided from its first bytes and its length
before the library is asked to read it, exactly as the plateio command-line tool decides.

  X-Area  the file starts with the container's magic "STOE_XFILE" and its terminating zero.
  TRA     no magic, so the structure decides: at least the 336-byte header and the 1200-byte row
          table; every half-width t >> 1 of the 600 little-endian table values at most 600; and a
          length L with E <= L < E + 512, where E = 1536 + 8 * sum(t >> 1) is the end of the pixel
          stream. Header and table fill exactly three 512-byte blocks, and a file copied from a
          block-structured disk keeps its last block's padding, so up to 511 trailing bytes are
          accepted (the readers ignore them); more means something else.
"""

import errno
import os
import stat
import struct

from ._errors import ReadError

XAREA_MAGIC = b"STOE_XFILE\0"
DETECT_BYTES = 1536
_TRA_HEADER_BYTES = 336
_TRA_ROW_TABLE = struct.Struct("<600H")
_TRA_BLOCK = 512


def classify(head, size):
    """("tra" | "xarea" | None, why neither) for a file of `size` bytes that starts with `head`
    (its first min(size, 1536) bytes)."""
    if head[:len(XAREA_MAGIC)] == XAREA_MAGIC:
        return "xarea", ""
    neither = "not a TRA or X-Area exposure: no X-Area magic, and "
    if size < DETECT_BYTES or len(head) < DETECT_BYTES:
        return None, (f"{neither}at {size} bytes too short for a TRA header and row table "
                      f"({DETECT_BYTES} bytes)")
    half_widths = 0
    for row, width in enumerate(_TRA_ROW_TABLE.unpack_from(head, _TRA_HEADER_BYTES)):
        half = width >> 1
        if half > 600:
            return None, (f"{neither}TRA row {row} would be {2 * half} pixels wide, more than the "
                          f"grid's 1200")
        half_widths += half
    expected = DETECT_BYTES + 8 * half_widths
    if size < expected or size - expected >= _TRA_BLOCK:
        return None, f"{neither}its TRA row table calls for {expected} bytes, but it has {size}"
    return "tra", ""


def detect(path, display):
    """"tra" or "xarea" for the file at `path` (bytes); ReadError naming `display` when it cannot
    be opened or read, is not a regular file, or is neither."""
    try:
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise ReadError(error.errno, error.strerror, display) from None
    try:
        status = os.fstat(descriptor)
        if stat.S_ISDIR(status.st_mode):
            raise ReadError(errno.EISDIR, os.strerror(errno.EISDIR), display)
        if not stat.S_ISREG(status.st_mode):
            raise ReadError(None, "not a regular file", display)
        head = b""
        while len(head) < DETECT_BYTES:
            chunk = os.read(descriptor, DETECT_BYTES - len(head))
            if not chunk:
                break
            head += chunk
    except ReadError:
        raise
    except OSError as error:
        raise ReadError(error.errno, error.strerror, display) from None
    finally:
        os.close(descriptor)
    family, reason = classify(head, status.st_size)
    if family is None:
        raise ReadError(None, reason, display)
    return family
