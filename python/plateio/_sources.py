"""What the library is handed for a source: a path of its own, or the content in memory, which it
reads with plateio_read_memory.

A plain file named by a path goes to the library by that path. Everything else -- the bytes of a
file, a binary file object, a pipe or a device, a file compressed with gzip, bzip2 or xz (told by
its first bytes, whatever its name) -- is read here, decompressed, into memory. Nothing is ever
written beside the user's data.

What is read here is capped, so that a small compressed file or an endless stream cannot take
the machine's memory: at most MAX_DECOMPRESSED bytes (plateio.MAX_DECOMPRESSED, 1 GiB unless the
environment variable PLATEIO_MAX_DECOMPRESSED gives another number when the package is imported)
before the content's first bytes tell what it can need, then no more than an exposure of that kind
can need: of a TRA file what its row table calls for (2,882,047 bytes at most), of an X-Area
container the bytes up to the end of its image header and pixel entries. read_header reads at most 64 KiB of
content. Decompression goes chunk by chunk with the output bounded, so memory never holds more
than the cap.
"""

import bz2
import lzma
import os
import stat
import struct
import sys
import zlib
from dataclasses import dataclass
from typing import NamedTuple, Optional

from ._errors import ReadError

HEADER_BYTES = 64 << 10
DEFAULT_MAX_DECOMPRESSED = 1 << 30
_CHUNK = 1 << 20

# A TRA file: its 1536-byte head (the row table at 336), the pixel values its row table calls for,
# and less than a 512-byte block behind them.
_TRA_HEAD = 1536
_TRA_ROW_TABLE = 336
_TRA_SLACK = 511
# The X-Area container's layout, as far as it tells which bytes an exposure can need.
_XAREA_MAGIC = b"STOE_XFILE\0"
_XAREA_FILE_HEADER = 104
_XAREA_ENTRY = 40
_XAREA_RECORD = 412
_XAREA_HEADER_ENTRY = b"XArea_ImgHdr\0"
_XAREA_PIXEL_ENTRY = b"XArea_Image\0"
_PROBE_ENTRIES = 1500  # a probe looks at no more entries of a table of contents


def _engine(name):
    if name == "gzip":
        return zlib.decompressobj(wbits=31)
    return bz2.BZ2Decompressor() if name == "bzip2" else lzma.LZMADecompressor()


# Compressed files by their first bytes.
_COMPRESSIONS = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"\xfd7zXZ\x00", "xz"))
_MAGIC_BYTES = max(len(magic) for magic, _ in _COMPRESSIONS)


def _compression(head):
    for magic, name in _COMPRESSIONS:
        if bytes(head[:len(magic)]) == magic:
            return name
    return None


def max_decompressed():
    """The ceiling in force: plateio.MAX_DECOMPRESSED, read at each call so that a program may
    change it."""
    value = getattr(sys.modules[__package__], "MAX_DECOMPRESSED", DEFAULT_MAX_DECOMPRESSED)
    if isinstance(value, bool) or not isinstance(value, int) or value < HEADER_BYTES:
        raise ValueError(f"plateio.MAX_DECOMPRESSED must be an int of at least {HEADER_BYTES}, "
                         f"not {value!r}")
    return value


def ceiling_from_environment():
    """The ceiling the package starts with: PLATEIO_MAX_DECOMPRESSED, else 1 GiB."""
    text = os.environ.get("PLATEIO_MAX_DECOMPRESSED", "")
    try:
        value = int(text, 0) if text else DEFAULT_MAX_DECOMPRESSED
    except ValueError:
        value = -1
    if value < HEADER_BYTES:
        raise ValueError(f"plateio: PLATEIO_MAX_DECOMPRESSED must be a number of bytes of at least "
                         f"{HEADER_BYTES}, not {text!r}")
    return value


class Need(NamedTuple):
    """What an exposure can need, as far as its first bytes tell."""

    most: int      # bytes of content it can need at most
    family: str
    head: int      # bytes a probe of it reads
    surplus: bool  # content past `most` makes it no exposure (a TRA file), rather than being unread


def needed(head, entries=None):
    """The Need of an exposure beginning with `head`, or None until enough of it is there to
    tell; `entries` limits the entries of an X-Area table of contents looked at (a probe's)."""
    if len(head) < len(_XAREA_MAGIC) and _XAREA_MAGIC.startswith(bytes(head)):
        return None
    if bytes(head[:len(_XAREA_MAGIC)]) != _XAREA_MAGIC:
        if len(head) < _TRA_HEAD:
            return None
        halves = [value >> 1 for value in struct.unpack_from("<600H", head, _TRA_ROW_TABLE)]
        if max(halves) > 600:
            # Refused by its row table, whatever follows.
            return Need(_TRA_HEAD, "TRA", _TRA_HEAD, False)
        return Need(_TRA_HEAD + 8 * sum(halves) + _TRA_SLACK, "TRA", _TRA_HEAD, True)
    if len(head) < _XAREA_FILE_HEADER:
        return None
    count = max(int.from_bytes(head[72:76], "little", signed=True), 0)
    table_end = _XAREA_FILE_HEADER + _XAREA_ENTRY * (count if entries is None else min(count, entries))
    if len(head) < table_end:
        return None
    most = reads = table_end
    for name, cap in ((_XAREA_HEADER_ENTRY, _XAREA_RECORD), (_XAREA_PIXEL_ENTRY, None)):
        for at in range(_XAREA_FILE_HEADER, table_end, _XAREA_ENTRY):
            if bytes(head[at:at + len(name)]) == name:
                length = int.from_bytes(head[at + 24:at + 28], "little", signed=True)
                offset = int.from_bytes(head[at + 36:at + 40], "little", signed=True)
                if length >= 0 and offset >= 0:
                    end = offset + (length if cap is None else min(length, cap))
                    most = max(most, end)
                    reads = max(reads, end) if cap is not None else reads
                break
    return Need(most, "X-Area", reads, False)


class _Chained:
    """The bytes already read from a stream, then the rest of it (a file object or None)."""

    def __init__(self, head, rest):
        self._head = bytes(head)
        self._rest = rest

    def read(self, size):
        if self._head:
            piece, self._head = self._head[:size], self._head[size:]
            return piece
        if self._rest is None:
            return b""
        piece = self._rest.read(size)
        if not isinstance(piece, (bytes, bytearray)):
            if piece is None:
                return b""
            raise TypeError("plateio: a file object must be opened in binary mode ('rb'), not "
                            f"give {type(piece).__name__}")
        return piece


class _Decompressed:
    """The decompressed content of a stream of gzip members, bzip2 or xz streams, read with the
    output bounded: no read produces more than it is asked for, and the compressed input is taken
    a chunk at a time (at most `input_limit` bytes of it in all)."""

    def __init__(self, raw, name, input_limit):
        self.name = name
        self._raw = raw
        self._engine = _engine(name)
        self._pending = b""
        self._input = 0
        self._input_limit = input_limit

    def _more_input(self):
        piece = self._raw.read(_CHUNK)
        self._input += len(piece)
        if self._input > self._input_limit:
            raise ReadError(None, f"its {self.name} content goes on past {self._input_limit} "
                            f"compressed bytes, the cap of plateio.MAX_DECOMPRESSED", None)
        return piece

    def read(self, size):
        while True:
            engine = self._engine
            if engine.eof:
                # The next member or stream, if anything follows this one.
                following = engine.unused_data or self._pending or self._more_input()
                if not following:
                    return b""
                self._engine, self._pending = _engine(self.name), following
                continue
            # Given nothing, an engine still hands out what it holds back.
            out = engine.decompress(self._pending, size)
            self._pending = getattr(engine, "unconsumed_tail", b"")
            if out:
                return out
            if not engine.eof and not self._pending and getattr(engine, "needs_input", True):
                self._pending = self._more_input()
                if not self._pending:
                    raise EOFError("the compressed data ends before its end-of-stream marker")


@dataclass
class Content:
    """What the library is handed: a path it reads itself, or the content in memory. `size` is
    longer than `data` when data holds only the first bytes a probe reads, the rest unknown and
    left as zeros (read_header)."""

    display: Optional[str]
    path: Optional[bytes] = None
    data: Optional[memoryview] = None
    size: int = 0


def _whole(display, data):
    return Content(display, data=data, size=len(data))


def _capped(stream, display, limit, header_only):
    """The content of a stream, within the caps: a Content with data."""
    data = bytearray()
    need = None
    while True:
        bound = limit if need is None else min(limit, need.most)
        if len(data) > bound:
            break
        piece = stream.read(min(bound + 1 - len(data), _CHUNK))
        if not piece:
            return _whole(display, memoryview(data))
        data += piece
        if need is None:
            need = needed(data, _PROBE_ENTRIES if header_only else None)
    name = display or "<stream>"
    if need is not None and need.most <= limit:
        if need.surplus:
            raise ReadError(None, f"its content goes on past {need.most} bytes, the most a TRA "
                            f"file of its row table holds, and it has no X-Area magic", name, 3)
        # What follows the entries an X-Area exposure needs is never read.
        return _whole(display, memoryview(data)[:need.most])
    if header_only:
        if need is None or need.head > HEADER_BYTES:
            raise ReadError(None, f"its {need.family if need else ''} header goes on past "
                            f"{HEADER_BYTES} bytes, all read_header reads", name)
        return Content(display, data=memoryview(data)[:HEADER_BYTES], size=need.most)
    what = "" if need is None else f"; the {need.family} exposure it begins can need {need.most}"
    raise ReadError(None, f"its content goes on past {limit} bytes, the cap of "
                    f"plateio.MAX_DECOMPRESSED{what}", name)


def _read_stream(stream, display, header_only):
    """The content of a binary stream, read from its current position, decompressed when its
    first bytes say it is compressed."""
    head = b""
    raw = _Chained(b"", stream)
    while len(head) < _MAGIC_BYTES:
        piece = raw.read(_MAGIC_BYTES - len(head))
        if not piece:
            break
        head += piece
    raw = _Chained(head, stream)
    name = _compression(head)
    ceiling = max_decompressed()
    limit = HEADER_BYTES if header_only else ceiling
    if name is None:
        return _capped(raw, display, limit, header_only)
    try:
        return _capped(_Decompressed(raw, name, ceiling), display, limit, header_only)
    except ReadError as error:
        if error.filename is None:
            raise ReadError(error.errno, error.strerror, display or "<stream>", error.code) from None
        raise
    except (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error) as error:
        raise ReadError(None, f"cannot decompress it ({name}): {error}",
                        display or "<stream>") from None


def _as_path(source):
    """The path of a str or os.PathLike source as (bytes for the library, str for people); None
    for anything else."""
    if isinstance(source, str) or (hasattr(source, "__fspath__") and not isinstance(source, bytes)):
        encoded = os.fsencode(os.fspath(source))
        if b"\0" in encoded:
            raise ValueError(f"plateio: a path cannot hold a zero byte: {source!r}")
        return encoded, os.fsdecode(encoded)
    return None


def path_argument(path):
    """(bytes, str) of a path as the functions that take only paths accept it: str, bytes or
    os.PathLike."""
    encoded = os.fsencode(os.fspath(path))
    if b"\0" in encoded:
        raise ValueError(f"plateio: a path cannot hold a zero byte: {path!r}")
    return encoded, os.fsdecode(encoded)


def describe(source):
    """The name a source goes by in results and errors: the path, a file object's name, or None
    for bytes and unnamed streams."""
    path = _as_path(source)
    if path is not None:
        return path[1]
    name = getattr(source, "name", None)
    if isinstance(name, (str, bytes)) and not isinstance(source, (bytes, bytearray, memoryview)):
        return os.fsdecode(name)
    return None


def content(source, header_only=False):
    """What the library is handed for a source: a path (str or os.PathLike), the bytes of a file
    (bytes, bytearray, memoryview or any buffer), or a binary file object, read from its current
    position to its end. With header_only, at most HEADER_BYTES of content are read here."""
    display = describe(source)
    path = _as_path(source)
    if path is not None:
        # A plain file goes to the library by its path. A compressed one, and a pipe or a device
        # (which the library, opening it twice to probe and then read, would find drained), is
        # read here. A path that cannot be read goes to the library, which says why.
        try:
            mode = os.stat(path[0]).st_mode
            if not stat.S_ISDIR(mode):
                with open(path[0], "rb") as f:
                    if stat.S_ISREG(mode):
                        if _compression(f.read(_MAGIC_BYTES)) is None:
                            return Content(display, path=path[0])
                        f.seek(0)
                    return _read_stream(f, display, header_only)
        except ReadError:
            raise
        except OSError:
            pass
        return Content(display, path=path[0])
    if hasattr(source, "read"):
        return _read_stream(source, display, header_only)
    if isinstance(source, bytes) and len(source) < 4096 and b"\0" not in source and \
            os.path.exists(source):
        raise TypeError(f"plateio: bytes are taken as the content of a file; to read the file "
                        f"at {source!r}, pass its path as str or os.PathLike")
    try:
        view = memoryview(source)
    except TypeError:
        raise TypeError("plateio: a source is a path (str or os.PathLike), the bytes of a file or "
                        f"a binary file object, not {type(source).__name__}") from None
    if not (view.ndim == 1 and view.c_contiguous and view.itemsize == 1):
        view = memoryview(view.tobytes())
    if _compression(view[:_MAGIC_BYTES]) is not None:
        return _read_stream(_Chained(view, None), display, header_only)
    return _whole(display, view)
