"""plateio: image-plate X-ray exposures (TRA and X-Area files) as NumPy arrays.

    >>> import plateio
    >>> exposure = plateio.open("powder.tra")
    >>> exposure.data.shape, exposure.data.dtype, exposure.format
    ((1200, 1200), dtype('int32'), 'tra')

A thin layer over libplateio, loaded with ctypes: every function below calls the library's exported
function of the same purpose and nothing else reads the files.

Ownership: pixel blocks that the library allocates are handed to NumPy without a copy. The array's
`base` is a small owner object; when the last array or view on the block is garbage-collected the
block is released with the C library's free. Keep the array (or a view of it) for as long as you use
the pixels; copy it (array.copy()) only when you want memory of NumPy's own.

Errors: a file that cannot be read raises ReadError (an OSError) naming the path. When the library
itself refused the file, its own message is on standard output as well, as in any host of the
library; the package flushes the C library's output after each call so that it appears in order
with Python's own.

Threads: the package keeps no state beyond the loaded library, the library keeps none at all, and
ctypes releases the GIL during each call, so several threads may read different files at once.
"""

import ctypes
import math
import os
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

from . import _library
from ._blocks import adopt
from ._detect import detect
from ._errors import ReadError
from ._library import (GEOMETRY_PARAMS, PIXEL_OVERFLOW, REDUCTION_PARAMS, UNSET, load_library)

__all__ = [
    "Exposure", "PixelImage", "ReadError", "PIXEL_OVERFLOW", "UNSET", "GEOMETRY_PARAMS",
    "REDUCTION_PARAMS", "open", "read_header", "detect_format", "read_tra", "read_xi",
    "read_az_tra", "read_container", "uncompress", "correct", "convert_8_to_double",
    "convert_4_to_int", "load_library", "library_path",
]

__version__ = "1.0.0"

TRA_GRID = 1200
_MESSAGE = "the library's message is on standard output"


# ---- Results ------------------------------------------------------------------------------------

@dataclass(frozen=True, eq=False)
class Exposure:
    """One exposure: `data` the pixels (int32, shape (height, width), PIXEL_OVERFLOW where a pixel
    was saturated or above the file's overflow threshold), `header` the description as
    read_header gives it, `format` "tra" or "xarea", `path` the path it was read from."""

    data: np.ndarray
    header: dict
    format: str
    path: str

    def __repr__(self):
        return (f"<plateio.Exposure {self.format} {self.data.shape[1]}x{self.data.shape[0]} "
                f"from {self.path!r}>")


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


# ---- Arguments ----------------------------------------------------------------------------------

def _path(path):
    """(bytes for the library, str for messages) of a str, bytes or os.PathLike path."""
    encoded = os.fsencode(os.fspath(path))
    if b"\0" in encoded:
        raise ValueError(f"plateio: a path cannot hold a zero byte: {path!r}")
    return encoded, os.fsdecode(encoded)


def _refused(function, encoded, display):
    """The ReadError for a file the library refused, with the operating system's reason when
    there is one (a missing or unreadable file)."""
    try:
        os.stat(encoded)
    except OSError as error:
        return ReadError(error.errno, f"{function} could not read it: {error.strerror} ({_MESSAGE})",
                         display)
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


# ---- Header -------------------------------------------------------------------------------------

def _header_dict(info, family):
    return {
        "format": family,
        "overload_count": info.overload_count,
        "geometry": tuple(info.geometry),
        "setting": info.setting,
        "overflow_threshold": info.overflow_threshold,
        "scale_value": info.scale_value,
        "path": os.fsdecode(info.path),
    }


def _read_header(encoded, display, family):
    lib = _library.library()
    info = _library.ImageInfo()
    # Entries a family does not fill (TRA: geometry[6] to [8]) stay NaN.
    for index in range(9):
        info.geometry[index] = math.nan
    function = lib.read_tra_header if family == "tra" else lib.read_xi_header
    if lib.speaking(function, encoded, ctypes.byref(info)) != 1:
        raise _refused(function.__name__, encoded, display)
    return _header_dict(info, family)


def detect_format(path):
    """"tra" or "xarea", decided as the plateio tool decides: X-Area by its magic, TRA by its row
    table and length. Raises ReadError when the file cannot be read or is neither."""
    encoded, display = _path(path)
    return detect(encoded, display)


def read_header(path):
    """The description of an exposure of either family, without loading its pixels: a dict with
    "format" ("tra" or "xarea") and the values of the library's image_info record,
    "overload_count", "geometry" (a tuple of 9 floats; NaN where the family has no value, TRA's
    indices 6 to 8), "setting", "overflow_threshold", "scale_value" and "path". TRA files carry no
    overload count, setting, threshold or scale value: they are -1, -1, -1 and -1.0, and
    geometry[1] is 0.0. Uses read_tra_header or read_xi_header; raises ReadError."""
    encoded, display = _path(path)
    return _read_header(encoded, display, detect(encoded, display))


def open(path):  # noqa: A001 -- the name Python's image readers use
    """Reads an exposure of either family: an Exposure with .data, .header, .format and .path.
    The family is detected first (see detect_format); then read_tra_header and read_tra, or
    read_xi_header and read_xi, load it. Raises ReadError naming the path."""
    encoded, display = _path(path)
    family = detect(encoded, display)
    header = _read_header(encoded, display, family)
    if family == "tra":
        data = _read_tra(encoded, display, True)
    else:
        data = _read_xi(encoded, display, None)[0].data
    return Exposure(data=data, header=header, format=family, path=display)


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


def read_tra(path, mark_saturated=True):
    """The 1200 x 1200 int32 image of a TRA file (pixels outside the plate's rows 0). With
    mark_saturated (read_tra) a saturated pixel, stream value 65535, becomes PIXEL_OVERFLOW;
    without it (read_short_tra) every value is kept. Raises ReadError."""
    encoded, display = _path(path)
    return _read_tra(encoded, display, mark_saturated)


def read_az_tra(path, index_map, cells, grid_mode=600):
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


def convert_8_to_double(field):
    """The value of an 8-byte VAX D_floating field (bytes in file order), decoded as the TRA header
    reader decodes it: from its first four bytes, the two 16-bit halves swapped."""
    raw = _field(field, 8, "a D_floating field")
    return _library.library().convert_8_to_double(raw)


def convert_4_to_int(field):
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


def read_xi(path, params=None):
    """Loads an X-Area file with read_xi: returns (PixelImage, params), where params is a new dict
    of the six reduction parameters after the call. Pass params (a dict; missing keys are 0.0,
    geometry2 defaults to UNSET = -999.0) to keep a geometry2 of your own: the library takes
    geometry2 from the file only when it holds UNSET (or NaN), and the other five always. The
    dict passed in is not changed. Pixels above the file's overflow threshold are PIXEL_OVERFLOW,
    counted in overflow_count. Raises ReadError."""
    encoded, display = _path(path)
    return _read_xi(encoded, display, params)


def _block_length(header):
    """Bytes of the pixel block that the header's sizes call for, or None when they are
    negative."""
    width, height = header.width, header.height
    if width < 0 or height < 0:
        return None
    if header.compression == 1:
        return (width * height + 2 * max(header.delta16_count, 0) +
                4 * max(header.delta32_count, 0))
    return 4 * width * height


def read_container(path):
    """The raw parts of an X-Area file, as readXImage takes them: (header, block), where header is
    the 412-byte image header record (bytes) and block the pixel entry (a NumPy uint8 array over
    the library's block, no copy). The C interface does not hand out the entry's length, so the
    block is given at the length its header's width, height, compression and value counts call
    for; an entry longer than that is cut there, and one shorter ends in the few zero bytes the
    library puts behind the entry in its allocation. Raises ReadError."""
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
    available = lib.malloc_usable_size(block.value)
    wanted = _block_length(header)
    length = available if wanted is None else min(wanted, available)
    return bytes(header), adopt(lib, block.value, (length,), np.uint8)


def uncompress(header, block):
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
    copy = lib.malloc(max(raw.size, 1))
    if not copy:
        raise MemoryError("plateio: no memory for a copy of the block")
    # The decoder may read up to the block's allocated size: what lies behind the copy must be 0.
    ctypes.memset(copy, 0, lib.malloc_usable_size(copy))
    ctypes.memmove(copy, raw.ctypes.data, raw.size)
    pointer = ctypes.c_void_p(copy)
    if record.compression == 1:
        lib.speaking(lib.uncompressImage, ctypes.byref(record), ctypes.byref(pointer))
        if pointer.value == copy:
            lib.free(copy)
            raise MemoryError(f"plateio: uncompressImage could not decode {record.width} x "
                              f"{record.height} pixels ({_MESSAGE})")
    return adopt(lib, pointer.value, shape, np.int32)


# ---- Geometry -----------------------------------------------------------------------------------

def _geometry_params(geometry):
    if isinstance(geometry, Mapping):
        record = _library.GeometryParams()
        for name, value in geometry.items():
            if name not in GEOMETRY_PARAMS:
                raise ValueError(f"plateio: unknown geometry parameter {name!r}; "
                                 f"known: {', '.join(GEOMETRY_PARAMS)}")
            setattr(record, name, float(value))
        return record
    values = [float(value) for value in geometry]
    if len(values) != len(GEOMETRY_PARAMS):
        raise ValueError(f"plateio: geometry needs {len(GEOMETRY_PARAMS)} values "
                         f"({', '.join(GEOMETRY_PARAMS)}), not {len(values)}")
    return _library.GeometryParams(*values)


def correct(points, geometry, distance, inverse=False):
    """Points through the detector geometry correction (correct_cry) or, with inverse, its
    inverse (anti_correct).

    points: an (N, 2) array of x, y (or a single point of shape (2,)).
    geometry: a dict of the parameters by name (missing ones 0.0) -- radial_shift,
    tangential_shift, offset_x, offset_y, distance_offset, tilt_y, tilt_x, rotation (lengths in
    the unit of the points, angles in degrees) -- or a sequence of the eight in that order.
    distance: the distance of the projection centre from the plane.
    Returns a new float64 array of the same shape; `points` is not changed."""
    result = np.array(points, dtype=np.float64, order="C", copy=True)
    if result.shape != (2,) and (result.ndim != 2 or result.shape[1] != 2):
        raise ValueError(f"plateio: points must have shape (N, 2) or (2,), not {result.shape}")
    record = _geometry_params(geometry)
    distance = float(distance)
    lib = _library.library()
    function = lib.anti_correct if inverse else lib.correct_cry
    reference = ctypes.byref(record)
    base = result.ctypes.data
    for offset in range(0, result.size * 8, 16):
        function(base + offset, reference, distance)
    return result


def library_path():
    """The file the library was loaded from (loading it now if needed)."""
    return _library.library().path
