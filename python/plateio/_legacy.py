"""The readers of the library's twelve specified functions, for hosts that want exactly what
they give: read_tra and read_short_tra, read_az_tra, readXImage and uncompressImage, read_xi,
the two field decoders. They take paths only, as the C functions do (str, bytes or os.PathLike),
and the library prints its specified message on standard output when it refuses a file (the
package flushes both sides around each call, so it appears in order with Python's own output).

Pixel blocks these functions allocate are handed to NumPy without a copy: the array's base owns
the block and releases it with the C library's free (see _blocks).
"""

from __future__ import annotations

import ctypes
import os
import tempfile
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Optional, Tuple, Union

import numpy as np

from . import _library
from ._blocks import adopt
from ._errors import ReadError
from ._library import REDUCTION_PARAMS, UNSET
from ._sources import path_argument as _path

TRA_GRID = 1200
_MESSAGE = "the library's message is on standard output"

Path = Union[str, bytes, "os.PathLike[str]"]
Buffer = Union[bytes, bytearray, memoryview, np.ndarray]


@dataclass(frozen=True, eq=False)
class PixelImage:
    """What read_xi loads: the library's pixel_image record, with `data` (int32, shape (height,
    width)) in place of its pixel pointer."""

    data: np.ndarray
    width: int
    height: int
    overflow_threshold: int
    pixel_count: int
    overflow_count: int
    scale_value: float
    geometry1: float
    geometry0: float

    def __repr__(self):
        return (f"<plateio.PixelImage {self.width}x{self.height}, {self.overflow_count} "
                f"overflowed>")


def _refused(function, encoded, display):
    """The ReadError for a file the library refused, with the operating system's reason when
    there is one (a missing or unreadable file)."""
    try:
        os.stat(encoded)
    except OSError as error:
        return ReadError(error.errno,
                         f"{function} could not read it: {error.strerror} ({_MESSAGE})", display)
    return ReadError(None, f"{function} could not read it ({_MESSAGE})", display)


def _int32(value, what):
    number = int(value)
    if not -2**31 <= number < 2**31:
        raise ValueError(f"plateio: {what} must fit a 32-bit integer, not {number}")
    return number


def _field(data, size, what):
    if isinstance(data, (int, float, str)):
        raise TypeError(f"plateio: {what} must be {size} bytes (bytes, bytearray, a NumPy array), "
                        f"not {type(data).__name__}")
    raw = memoryview(data).tobytes()
    if len(raw) != size:
        raise ValueError(f"plateio: {what} must be exactly {size} bytes, not {len(raw)}")
    return raw


# ---- TRA ----------------------------------------------------------------------------------------

def _read_tra(encoded, display, mark_saturated):
    lib = _library.library()
    function = lib.read_tra if mark_saturated else lib.read_short_tra
    pixels = ctypes.c_void_p()
    width = ctypes.c_int32()
    height = ctypes.c_int32()
    if lib.speaking(function, encoded, ctypes.byref(pixels), ctypes.byref(width),
                    ctypes.byref(height)) != 1:
        raise _refused(function.__name__, encoded, display)
    return adopt(lib, pixels.value, (height.value, width.value), np.int32)


def read_tra(path: Path, mark_saturated: bool = True) -> np.ndarray:
    """The 1200 x 1200 int32 image of a TRA file (pixels outside the plate's rows 0). With
    mark_saturated (read_tra) a saturated pixel, stream value 65535, becomes PIXEL_OVERFLOW;
    without it (read_short_tra) every value is kept. Raises ReadError."""
    encoded, display = _path(path)
    return _read_tra(encoded, display, mark_saturated)


def read_az_tra(path: Path, index_map: np.ndarray, cells: np.ndarray,
                grid_mode: int = 600) -> int:
    """Loads a TRA file into `cells` through an index map (read_az_tra) and returns the number of
    PIXEL_OVERFLOW values it stored.

    cells: the target, a writable C-contiguous NumPy int32 array, filled in place: grid pixel i
    (row-major) is stored into cells.flat[index_map[i]] when that index lies inside cells, later
    pixels overwriting earlier ones; other entries keep their values.
    index_map: integers, one per grid pixel: 1200 * 1200 of them with grid_mode 600, else
    600 * 600, as the library first bins the grid 2 x 2 (with the library's built-in binning,
    which a Python process always gets).
    Raises ReadError when the file cannot be read (nothing in cells is changed then)."""
    encoded, display = _path(path)
    if not isinstance(cells, np.ndarray) or cells.dtype != np.dtype(np.int32) or \
            not cells.flags.c_contiguous or not cells.flags.writeable:
        raise TypeError("plateio: cells must be a writable C-contiguous numpy.int32 array; "
                        "read_az_tra fills it in place")
    grid_mode = _int32(grid_mode, "grid_mode")
    cell_count = _int32(cells.size, "the number of cells")
    mapping = np.asarray(index_map)
    if mapping.dtype != np.dtype(np.int32):
        if mapping.dtype.kind not in "iu":
            raise TypeError(f"plateio: index_map must hold integers, not {mapping.dtype}")
        if mapping.size and (mapping.min() < -2**31 or mapping.max() >= 2**31):
            raise ValueError("plateio: index_map entries must fit 32-bit integers")
    mapping = np.ascontiguousarray(mapping, dtype=np.int32)
    side = TRA_GRID if grid_mode == 600 else TRA_GRID // 2
    if mapping.size < side * side:
        raise ValueError(f"plateio: with grid_mode {grid_mode} the index map needs {side * side} "
                         f"entries ({side} x {side}), not {mapping.size}")
    lib = _library.library()
    target = _library.RemapTarget(cells=cells.ctypes.data, grid_mode=grid_mode,
                                  cell_count=cell_count, overload_count=0, aux_value=0.0)
    map_pointer = ctypes.c_void_p(mapping.ctypes.data)
    if lib.speaking(lib.read_az_tra, encoded, ctypes.byref(target), ctypes.byref(map_pointer)) != 1:
        raise _refused("read_az_tra", encoded, display)
    return target.overload_count


def convert_8_to_double(field: Buffer) -> float:
    """The value of an 8-byte VAX D_floating field (bytes in file order), decoded as the TRA header
    reader decodes it: from its first four bytes, the two 16-bit halves swapped."""
    raw = _field(field, 8, "a D_floating field")
    return _library.library().convert_8_to_double(raw)


def convert_4_to_int(field: Buffer) -> int:
    """The integer of a 4-byte word-swapped field. The library traces the field's bytes on
    standard output (" %x" each) as it does for any host."""
    raw = _field(field, 4, "a word-swapped integer field")
    lib = _library.library()
    return lib.speaking(lib.convert_4_to_int, raw)


# ---- X-Area -------------------------------------------------------------------------------------

def _reduction_params(params):
    record = _library.ReductionParams(geometry2=UNSET)
    if params is None:
        return record
    if not isinstance(params, Mapping):
        raise TypeError("plateio: params must be a dict of reduction parameters, "
                        f"keys among {', '.join(REDUCTION_PARAMS)}")
    for name, value in params.items():
        if name not in REDUCTION_PARAMS:
            raise ValueError(f"plateio: unknown reduction parameter {name!r}; "
                             f"known: {', '.join(REDUCTION_PARAMS)}")
        setattr(record, name, float(value))
    return record


def _read_xi(encoded, display, params):
    lib = _library.library()
    record = _reduction_params(params)
    image = _library.PixelImage()
    if lib.speaking(lib.read_xi, encoded, ctypes.byref(image), ctypes.byref(record)) != 1:
        raise _refused("read_xi", encoded, display)
    data = adopt(lib, image.pixels, (image.height, image.width), np.int32)
    loaded = PixelImage(data=data, width=image.width, height=image.height,
                        overflow_threshold=image.overflow_threshold, pixel_count=image.pixel_count,
                        overflow_count=image.overflow_count, scale_value=image.scale_value,
                        geometry1=image.geometry1, geometry0=image.geometry0)
    return loaded, {name: getattr(record, name) for name in REDUCTION_PARAMS}


def read_xi(path: Path, params: Optional[Mapping] = None) -> Tuple[PixelImage, dict]:
    """Loads an X-Area file with read_xi: returns (PixelImage, params), where params is a new dict
    of the six reduction parameters after the call. Pass params (a dict; missing keys are 0.0,
    geometry2 defaults to UNSET = -999.0) to keep a geometry2 of your own: the library takes
    geometry2 from the file only when it holds UNSET (or NaN), and the other five always. The
    dict passed in is not changed. Pixels above the file's overflow threshold are PIXEL_OVERFLOW,
    counted in overflow_count. Raises ReadError."""
    encoded, display = _path(path)
    return _read_xi(encoded, display, params)


def read_container(path: Path) -> Tuple[bytes, np.ndarray]:
    """The raw parts of an X-Area file, as readXImage takes them: (header, block), where header is
    the 412-byte image header record (bytes) and block the pixel entry (a NumPy uint8 array over
    the library's block, no copy), exactly the entry's length as the table of contents gives it
    (readXImage does not hand it out). Raises ReadError."""
    encoded, display = _path(path)
    lib = _library.library()
    header = _library.XiHeader()
    block = ctypes.c_void_p()
    ok = lib.speaking(lib.readXImage, encoded, ctypes.byref(header), ctypes.byref(block))
    if ok != 1:
        # A failure while the pixel entry was taken leaves no block; be safe with any other.
        if block.value:
            lib.free(block.value)
        raise _refused("readXImage", encoded, display)
    # The entry's length, from the whole table of contents as readXImage reads it: the quiet read
    # tells it before it looks at the pixels (a capacity of 0, an entry short of its pixels, an
    # impossible size). Any other answer, or a length the block cannot hold, is a file that changed
    # in between: nothing past the entry is handed out.
    frame = _library.Frame()
    code = lib.plateio_read(encoded, None, 0, ctypes.byref(frame), 0)
    length = frame.pixel_bytes
    if code not in (_library.OK, _library.E_CAPACITY, _library.E_SHORT, _library.E_SIZE) or \
            frame.family != _library.FAMILY_XAREA or length > lib.malloc_usable_size(block.value):
        lib.free(block.value)
        raise ReadError(None, "readXImage read it, but it changed before the length of its pixel "
                        "entry could be told", display)
    return bytes(header), adopt(lib, block.value, (length,), np.uint8)


class _Scratch:
    """Whole content in an anonymous file the library can open by path; gone once closed."""

    def __init__(self, data):
        descriptor = os.memfd_create("plateio", os.MFD_CLOEXEC) if hasattr(os, "memfd_create") \
            and os.path.isdir("/proc/self/fd") else None
        if descriptor is not None:
            self.file = os.fdopen(descriptor, "w+b")
            self.path = os.fsencode(f"/proc/self/fd/{descriptor}")
        else:
            self.file = tempfile.NamedTemporaryFile(prefix="plateio-")
            self.path = os.fsencode(self.file.name)
        self.file.write(data)
        self.file.flush()

    def close(self):
        self.file.close()


def _library_block(lib, header, raw):
    """A block holding the bytes of `raw` as readXImage hands one out, so that uncompressImage knows
    where the entry ends (a block made here with malloc would be taken to its allocated size). The
    entry goes into a container in an anonymous file, which readXImage reads back."""
    file_header = bytearray(104)
    file_header[:11] = b"STOE_XFILE\0"
    file_header[72:76] = (2).to_bytes(4, "little")
    toc = bytearray(80)
    for at, name, length, offset in ((0, b"XArea_ImgHdr", 412, 184), (40, b"XArea_Image", raw.size, 596)):
        toc[at:at + len(name)] = name
        toc[at + 24:at + 28] = length.to_bytes(4, "little")
        toc[at + 36:at + 40] = offset.to_bytes(4, "little")
    scratch = _Scratch(bytes(file_header) + bytes(toc) + bytes(header) + raw.tobytes())
    try:
        record = _library.XiHeader()
        block = ctypes.c_void_p()
        if lib.speaking(lib.readXImage, scratch.path, ctypes.byref(record), ctypes.byref(block)) != 1:
            if block.value:
                lib.free(block.value)
            raise MemoryError("plateio: no memory for a copy of the block")
        return block.value
    finally:
        scratch.close()


def uncompress(header: Buffer, block: Buffer) -> np.ndarray:
    """The pixels of a pixel block: an int32 array of shape (height, width) after the 412-byte
    header record `header` (as read_container gives it). A difference-coded block (compression 1)
    is decoded by uncompressImage; the library prints its two messages when the codes disagree
    with the header's value counts, and the decoded pixels are returned all the same. Any other
    block is taken as plain little-endian int32 pixels and must hold width * height of them.
    `block` is not changed: it is copied into a block of the library's kind first, since
    uncompressImage releases the block it decodes."""
    record = _library.XiHeader.from_buffer_copy(_field(header, 412, "an X-Area header record"))
    if record.width < 0 or record.height < 0:
        raise ValueError(f"plateio: the header gives a size of {record.width} x {record.height}")
    view = memoryview(block)
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    raw = np.frombuffer(view.cast("B"), dtype=np.uint8)
    shape = (record.height, record.width)
    if record.compression != 1 and raw.size < 4 * record.width * record.height:
        raise ValueError(f"plateio: a plain block of {record.width} x {record.height} pixels needs "
                         f"{4 * record.width * record.height} bytes, not {raw.size}")
    lib = _library.library()
    pointer = ctypes.c_void_p(_library_block(lib, bytes(record), raw))
    if record.compression == 1:
        given = pointer.value
        lib.speaking(lib.uncompressImage, ctypes.byref(record), ctypes.byref(pointer))
        if pointer.value == given:
            lib.free(given)
            raise MemoryError(f"plateio: uncompressImage could not decode {record.width} x "
                              f"{record.height} pixels ({_MESSAGE})")
    return adopt(lib, pointer.value, shape, np.int32)
