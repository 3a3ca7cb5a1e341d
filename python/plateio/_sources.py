"""What the library is handed for a source: a path of its own, or an anonymous file in memory.

The library reads files by path. A plain file named by a path goes to it as it is. Everything else --
the bytes of a file, a binary file object, a file compressed with gzip, bzip2 or xz (told by its
first bytes, whatever its name) -- is first written, decompressed, into an anonymous file in memory
(memfd_create, handed over as /proc/self/fd/N), or where there is none into a temporary file in the
system's temporary directory. Nothing is ever written beside the user's data.
"""

import bz2
import gzip
import io
import lzma
import os
import shutil
import stat
import tempfile
import zlib
from contextlib import contextmanager

from ._errors import ReadError

# Compressed files by their first bytes: (magic, name, a decompressing reader over a file object).
_COMPRESSIONS = (
    (b"\x1f\x8b", "gzip", lambda stream: gzip.GzipFile(fileobj=stream, mode="rb")),
    (b"BZh", "bzip2", bz2.BZ2File),
    (b"\xfd7zXZ\x00", "xz", lzma.LZMAFile),
)
_MAGIC_BYTES = max(len(magic) for magic, _, _ in _COMPRESSIONS)
_CHUNK = 1 << 20


def _compression(head):
    for magic, name, opener in _COMPRESSIONS:
        if head.startswith(magic):
            return name, opener
    return None, None


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


class _Scratch:
    """An anonymous file the library can open by path; gone once closed."""

    def __init__(self):
        if hasattr(os, "memfd_create") and os.path.isdir("/proc/self/fd"):
            descriptor = os.memfd_create("plateio", os.MFD_CLOEXEC)
            self.file = os.fdopen(descriptor, "w+b")
            self.path = os.fsencode(f"/proc/self/fd/{descriptor}")
        else:
            self.file = tempfile.NamedTemporaryFile(prefix="plateio-")
            self.path = os.fsencode(self.file.name)

    def close(self):
        self.file.close()


class _Joined(io.RawIOBase):
    """The bytes already read from a stream, then the rest of it."""

    def __init__(self, head, rest):
        self._head = memoryview(head)
        self._rest = rest

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._head.nbytes:
            n = min(len(buffer), self._head.nbytes)
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        if self._rest is None:
            return 0
        data = self._rest.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)


def _scratch_of(head, rest, display):
    """An anonymous file holding `head` and then what is left of the file object `rest` (or
    nothing more when it is None), decompressed when the first bytes say it is compressed."""
    name, opener = _compression(bytes(head[:_MAGIC_BYTES]))
    scratch = _Scratch()
    try:
        if opener is None:
            scratch.file.write(head)
            if rest is not None:
                shutil.copyfileobj(rest, scratch.file, _CHUNK)
        else:
            with opener(io.BufferedReader(_Joined(head, rest), _CHUNK)) as data:
                shutil.copyfileobj(data, scratch.file, _CHUNK)
        scratch.file.flush()
    except (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error) as error:
        scratch.close()
        if opener is None or isinstance(error, ReadError):
            raise
        raise ReadError(None, f"cannot decompress it ({name}): {error}",
                        display or "<stream>") from None
    except BaseException:
        scratch.close()
        raise
    return scratch


def _head_of(stream):
    """The first chunk of a binary file object, at least as long as the longest magic unless the
    stream ends first."""
    head = stream.read(_CHUNK)
    if not isinstance(head, (bytes, bytearray)):
        raise TypeError("plateio: a file object must be opened in binary mode ('rb'), not "
                        f"give {type(head).__name__}")
    while 0 < len(head) < _MAGIC_BYTES:
        more = stream.read(_CHUNK)
        if not more:
            break
        head += more
    return head


@contextmanager
def library_path(source):
    """A context giving (path for the library, name for people) for a source: a path (str or
    os.PathLike), the bytes of a file (bytes, bytearray, memoryview or any buffer), or a binary file
    object, read from its current position to its end."""
    display = describe(source)
    path = _as_path(source)
    scratch = None
    if path is not None:
        # A plain file goes to the library by its path. A compressed one, and a pipe or a device
        # (which the library, opening it twice to probe and then read, would find drained), is
        # read here. A path that cannot be read goes to the library, which says why.
        try:
            mode = os.stat(path[0]).st_mode
            if not stat.S_ISDIR(mode):
                with open(path[0], "rb") as f:
                    head = f.read(_MAGIC_BYTES) if stat.S_ISREG(mode) else _head_of(f)
                    if not stat.S_ISREG(mode) or _compression(head)[1] is not None:
                        scratch = _scratch_of(head, f, display)
        except ReadError:
            raise
        except OSError:
            pass
    elif hasattr(source, "read"):
        scratch = _scratch_of(_head_of(source), source, display)
    else:
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
        scratch = _scratch_of(view, None, display)
    try:
        yield (scratch.path if scratch is not None else path[0]), display
    finally:
        if scratch is not None:
            scratch.close()
