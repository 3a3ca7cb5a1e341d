"""Finding and loading libplateio, its records as ctypes structures, and its console.

The loaded library is the package's only state. It is loaded once per process, on the first call
that needs it or by load_library(path), and never unloaded.
"""

import ctypes
import os
import sys
import threading

from . import _locate
from ._locate import LIBRARY_NAMES

PIXEL_OVERFLOW = 256001
PATH_CAPACITY = 4096
UNSET = -999.0


# ---- Records, member for member as include/plateio.h declares them -----------------------------------

class ImageInfo(ctypes.Structure):
    _fields_ = [
        ("overload_count", ctypes.c_int32),
        ("geometry", ctypes.c_double * 9),
        ("setting", ctypes.c_int32),
        ("overflow_threshold", ctypes.c_int32),
        ("scale_value", ctypes.c_double),
        ("path", ctypes.c_char * PATH_CAPACITY),
    ]


class XiHeader(ctypes.Structure):
    # Packed to 4 like the C record, so that it is 412 bytes on every ABI.
    _pack_ = 4
    _fields_ = [
        ("unused_0", ctypes.c_uint8 * 16),
        ("compression", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("unused_28", ctypes.c_uint8 * 68),
        ("geometry6", ctypes.c_int32),
        ("geometry7", ctypes.c_int32),
        ("geometry8", ctypes.c_int32),
        ("unused_108", ctypes.c_uint8 * 44),
        ("geometry4", ctypes.c_double),
        ("unused_160", ctypes.c_uint8 * 16),
        ("geometry2", ctypes.c_double),
        ("unused_184", ctypes.c_uint8 * 16),
        ("geometry0", ctypes.c_double),
        ("unused_208", ctypes.c_uint8 * 8),
        ("geometry1", ctypes.c_double),
        ("geometry3", ctypes.c_double),
        ("geometry5", ctypes.c_double),
        ("unused_240", ctypes.c_uint8 * 88),
        ("setting", ctypes.c_int32),
        ("overflow_threshold", ctypes.c_int32),
        ("scale_value", ctypes.c_double),
        ("overload_count", ctypes.c_int32),
        ("delta16_count", ctypes.c_int32),
        ("delta32_count", ctypes.c_int32),
        ("unused_356", ctypes.c_uint8 * 56),
    ]


class PixelImage(ctypes.Structure):
    _fields_ = [
        ("pixels", ctypes.c_void_p),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("overflow_threshold", ctypes.c_int32),
        ("pixel_count", ctypes.c_int32),
        ("overflow_count", ctypes.c_int32),
        ("scale_value", ctypes.c_double),
        ("geometry1", ctypes.c_double),
        ("geometry0", ctypes.c_double),
    ]


REDUCTION_PARAMS = ("geometry2", "geometry4", "geometry0", "geometry1", "geometry3", "geometry5")


class ReductionParams(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in REDUCTION_PARAMS]


class RemapTarget(ctypes.Structure):
    _fields_ = [
        ("cells", ctypes.c_void_p),
        ("grid_mode", ctypes.c_int32),
        ("cell_count", ctypes.c_int32),
        ("overload_count", ctypes.c_int32),
        ("aux_value", ctypes.c_double),
    ]


GEOMETRY_PARAMS = ("radial_shift", "tangential_shift", "offset_x", "offset_y", "distance_offset",
                   "tilt_y", "tilt_x", "rotation")


class GeometryParams(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in GEOMETRY_PARAMS]


# The quiet functions' results and names (plateio_frame.family).
OK = 0
E_OPEN = 2
E_SHORT = 11
E_SIZE = 13
E_CAPACITY = 15
FAMILY_TRA = 1
FAMILY_XAREA = 2
FAMILIES = {FAMILY_TRA: "tra", FAMILY_XAREA: "xarea"}
# A TRA file's saturation mark, and the indices of image_info.geometry its header carries.
TRA_SATURATION = 65535
TRA_GEOMETRY = (0, 2, 3, 4, 5)
KEEP_SATURATED = 1


class Frame(ctypes.Structure):
    _fields_ = [
        ("family", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("compressed", ctypes.c_int32),
        ("overflow_threshold", ctypes.c_int32),
        ("overflow_count", ctypes.c_int32),
        ("info", ImageInfo),
        ("reason", ctypes.c_char * 256),
        ("warnings", ctypes.c_uint32),
        ("system_error", ctypes.c_int32),
        ("pixel_bytes", ctypes.c_int64),
    ]


# A record that does not match the header's layout would corrupt memory on the first call.
assert ctypes.sizeof(XiHeader) == 412
assert XiHeader.width.offset == 20 and XiHeader.geometry0.offset == 200
assert XiHeader.overload_count.offset == 344 and XiHeader.delta32_count.offset == 352
assert ctypes.sizeof(GeometryParams) == 64 and ctypes.sizeof(ReductionParams) == 48
assert Frame.info.offset == 24 and Frame.warnings.offset == 24 + ctypes.sizeof(ImageInfo) + 256


# ---- The loaded library --------------------------------------------------------------------------

_P = ctypes.POINTER
_PATH = ctypes.c_char_p
_I32 = ctypes.c_int32

_PROTOTYPES = {
    "read_tra": (_I32, [_PATH, _P(ctypes.c_void_p), _P(_I32), _P(_I32)]),
    "read_short_tra": (_I32, [_PATH, _P(ctypes.c_void_p), _P(_I32), _P(_I32)]),
    "read_tra_header": (_I32, [_PATH, _P(ImageInfo)]),
    "convert_8_to_double": (ctypes.c_double, [ctypes.c_char_p]),
    "convert_4_to_int": (_I32, [ctypes.c_char_p]),
    "read_az_tra": (_I32, [_PATH, _P(RemapTarget), _P(ctypes.c_void_p)]),
    "readXImage": (_I32, [_PATH, _P(XiHeader), _P(ctypes.c_void_p)]),
    "uncompressImage": (None, [_P(XiHeader), _P(ctypes.c_void_p)]),
    "read_xi": (_I32, [_PATH, _P(PixelImage), _P(ReductionParams)]),
    "read_xi_header": (_I32, [_PATH, _P(ImageInfo)]),
    "correct_cry": (None, [ctypes.c_void_p, _P(GeometryParams), ctypes.c_double]),
    "anti_correct": (None, [ctypes.c_void_p, _P(GeometryParams), ctypes.c_double]),
    # The quiet functions: they print nothing, and say what went wrong through a code and a frame.
    "plateio_version": (ctypes.c_char_p, []),
    "plateio_probe": (_I32, [_PATH, _P(Frame)]),
    "plateio_read": (_I32, [_PATH, ctypes.c_void_p, ctypes.c_size_t, _P(Frame), ctypes.c_uint32]),
    "plateio_read_mask": (_I32, [_PATH, ctypes.c_void_p, ctypes.c_size_t, _P(Frame)]),
    "plateio_read_memory": (_I32, [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                   ctypes.c_size_t, _P(Frame), ctypes.c_uint32]),
    "plateio_read_mask_memory": (_I32, [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                        ctypes.c_size_t, _P(Frame)]),
    "plateio_strerror": (ctypes.c_char_p, [_I32]),
    "plateio_correct_points": (None, [ctypes.c_void_p, ctypes.c_size_t, _P(GeometryParams),
                                      ctypes.c_double, _I32]),
}


class Library:
    """The loaded libplateio with its functions as attributes, and the C library routines
    the package needs beside it: free for the blocks the library hands out, fflush for its
    console."""

    def __init__(self, path):
        self.path = path
        self.cdll = ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_LOCAL)
        for name, (restype, argtypes) in _PROTOTYPES.items():
            try:
                function = getattr(self.cdll, name)
            except AttributeError:
                what = ("a libplateio without the quiet functions the package needs"
                        if name.startswith("plateio_") else "not libplateio")
                raise OSError(f"{path} is {what}: it does not export {name}") from None
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        # The process's global scope resolves malloc, free and stdout exactly as the library's own
        # references to them are resolved, so a block is released by the free that pairs with the
        # malloc that made it, interposed allocators included.
        self.libc = ctypes.CDLL(None)
        self.free = self.libc.free
        self.free.restype = None
        self.free.argtypes = [ctypes.c_void_p]
        self.malloc = self.libc.malloc
        self.malloc.restype = ctypes.c_void_p
        self.malloc.argtypes = [ctypes.c_size_t]
        self.malloc_usable_size = self.libc.malloc_usable_size
        self.malloc_usable_size.restype = ctypes.c_size_t
        self.malloc_usable_size.argtypes = [ctypes.c_void_p]
        self._fflush = self.libc.fflush
        self._fflush.restype = ctypes.c_int
        self._fflush.argtypes = [ctypes.c_void_p]
        if not os.path.isabs(path):
            self.path = self._file_of(self.read_tra) or path

    def _file_of(self, function):
        """The file the dynamic loader took a function from, when it found the library by name."""

        class DlInfo(ctypes.Structure):
            _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                        ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

        try:
            dladdr = self.libc.dladdr
        except AttributeError:
            return None
        dladdr.restype = ctypes.c_int
        dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
        info = DlInfo()
        if dladdr(ctypes.cast(function, ctypes.c_void_p), ctypes.byref(info)) == 0 or not info.dli_fname:
            return None
        return os.path.abspath(os.fsdecode(info.dli_fname))

    def speaking(self, function, *arguments):
        """Calls a function that may print on the C library's stdout, keeping the order of the
        console: what Python printed before the call is written first, and what the library
        printed is written at once rather than whenever the C buffer next fills or the process
        ends."""
        stream = sys.stdout
        if stream is not None:
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        try:
            return function(*arguments)
        finally:
            self._fflush(ctypes.c_void_p.in_dll(self.libc, "stdout"))


# ---- Finding the library ------------------------------------------------------------------------

_lock = threading.Lock()
_loaded = None


def _try_load(path, tried, label):
    try:
        return Library(path)
    except OSError as error:
        tried.append(f"{label}: {error}")
        return None


def _load(explicit):
    tried = []
    for path, why, exists in _locate.candidates(explicit):
        if not exists:
            tried.append(f"{path}: no such file ({why})")
            continue
        # A bare name is the loader's to find; a path is loaded as it is.
        label = path if os.path.isabs(path) else f"{path} through {why}"
        library = _try_load(path, tried, label)
        if library is not None:
            return library
    raise _locate.failure(tried, explicit)


def library():
    """The loaded library, loading it on first use."""
    global _loaded
    loaded = _loaded
    if loaded is None:
        with _lock:
            if _loaded is None:
                _loaded = _load(None)
            loaded = _loaded
    return loaded


def load_library(path: "str | os.PathLike[str] | None" = None) -> str:
    """Loads libplateio now and returns the path it was loaded from.

    path: the library file, or a directory holding libplateio.so.1 (or libplateio.so). Only that
    place is tried. Without it, the environment's PLATEIO_LIBRARY (a file or directory) is the
    only place tried when it is set; else the package searches, in this order: its own directory,
    the library directories recorded when the package was installed (by cmake --install or pip)
    or staged in a build tree, the build tree build/release of a source checkout the package
    sits in, and the dynamic loader's search path. Raises OSError naming every place it looked
    when none holds a loadable library.

    The library is loaded once per process: asking for another file once it is loaded raises
    RuntimeError.
    """
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _load(path)
        elif path is not None:
            wanted = os.path.abspath(os.fsdecode(os.fspath(path)))
            if os.path.isdir(wanted):
                same = os.path.realpath(os.path.dirname(_loaded.path)) == os.path.realpath(wanted)
            else:
                same = os.path.realpath(wanted) == os.path.realpath(_loaded.path)
            if not same:
                raise RuntimeError(f"plateio: the library is already loaded from {_loaded.path}; "
                                   f"a process loads it once (asked for {wanted})")
        return _loaded.path


def library_path() -> str:
    """The file the library was loaded from (loading it now if needed)."""
    return library().path
