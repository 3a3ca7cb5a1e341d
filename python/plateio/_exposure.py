"""Exposures of either family through the library's quiet functions: the family told by the
library from the content, the pixels read straight into arrays NumPy allocates (or the caller
gives), every failure a ReadError with the library's reason and code. Nothing is printed."""

from __future__ import annotations

import ctypes
import errno as _errno
import os
from dataclasses import dataclass, field
from functools import cached_property
from typing import IO, Optional, Union

import numpy as np

from . import _library
from ._errors import ReadError
from ._library import PIXEL_OVERFLOW
from ._sources import library_path

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, IO[bytes]]


@dataclass(frozen=True, eq=False)
class Exposure:
    """One exposure.

    data    the pixels, int32 of shape (height, width); PIXEL_OVERFLOW where a pixel was
            saturated (TRA) or above the file's overflow threshold (X-Area); 0 off a TRA plate
    header  the description as read_header gives it
    format  "tra" or "xarea"
    path    the path it was read from, a file object's name, or None for bytes and unnamed
            streams
    overflow_count  the pixels stored as PIXEL_OVERFLOW
    warning the library's note on a file it read all the same (an X-Area difference code whose
            value counts disagree with its header), else ""

    `mask` (uint8, the shape of `data`) is non-zero for every pixel that carries no measurement:
    off the round plate of a TRA file (the library's plateio_read_mask) or overflowed. It is what
    pyFAI's integrators take as `mask`. It is made from `data` the first time it is asked for, so
    ask for it before reusing `data` as `out` of another open().
    """

    data: np.ndarray
    header: dict
    format: str
    path: Optional[str]
    overflow_count: int = 0
    warning: str = ""
    _unrecorded: Optional[np.ndarray] = field(default=None, repr=False)

    @cached_property
    def mask(self) -> np.ndarray:
        overflowed = self.data == PIXEL_OVERFLOW
        if self._unrecorded is not None:
            overflowed |= self._unrecorded.astype(bool, copy=False)
        return overflowed.view(np.uint8)

    def __repr__(self):
        return (f"<plateio.Exposure {self.format} {self.data.shape[1]}x{self.data.shape[0]} "
                f"from {self.path if self.path is not None else 'memory'!r}>")


def _reason(frame):
    return frame.reason.decode("utf-8", "replace")


def _failure(code, frame, display, encoded):
    """The ReadError for a result code of the quiet functions."""
    reason = _reason(frame) or _library.library().plateio_strerror(code).decode()
    number = None
    if code == _library.E_OPEN:
        # The library gives the system's reason as text; the number comes from the same question.
        try:
            os.stat(encoded)
        except OSError as error:
            number = error.errno
        else:
            if os.path.isdir(encoded):
                number = _errno.EISDIR
    return ReadError(number, reason, display if display is not None else "<memory>", code)


def header_of(frame, display):
    """The package's header dict of a frame: "format" and the image_info record's values."""
    info = frame.info
    return {
        "format": _library.FAMILIES[frame.family],
        "overload_count": info.overload_count,
        "geometry": tuple(info.geometry),
        "setting": info.setting,
        "overflow_threshold": info.overflow_threshold,
        "scale_value": info.scale_value,
        "path": display if display is not None else "",
    }


def _probe(path, display):
    lib = _library.library()
    frame = _library.Frame()
    code = lib.plateio_probe(path, ctypes.byref(frame))
    if code != _library.OK:
        raise _failure(code, frame, display, path)
    return frame


def detect_format(source: Source) -> str:
    """"tra" or "xarea": the family of a file as the library tells it from the content (X-Area by
    its magic, TRA by its row table and length), never from the name. Takes what open() takes.
    Raises ReadError when the file cannot be read or is neither."""
    with library_path(source) as (path, display):
        return _library.FAMILIES[_probe(path, display).family]


def read_header(source: Source) -> dict:
    """The description of an exposure of either family, without reading its pixels (the library
    reads at most 64 KiB of the file): a dict with "format" ("tra" or "xarea") and the values of
    the library's image_info record, "overload_count", "geometry" (a tuple of 9 floats; NaN where
    the family has no value, TRA's indices 6 to 8), "setting", "overflow_threshold",
    "scale_value" and "path" (the path as given, a file object's name, or "" for bytes). TRA
    files carry no overload count, setting, threshold or scale value: they are -1, -1, -1 and
    -1.0, and geometry[1] is 0.0. Takes what open() takes; raises ReadError."""
    return probe(source)[0]


def probe(source):
    """(read_header's dict, (height, width)) of a source."""
    with library_path(source) as (path, display):
        frame = _probe(path, display)
        return header_of(frame, display), (frame.height, frame.width)


def _check_out(out):
    if not isinstance(out, np.ndarray):
        raise TypeError(f"plateio: out must be a NumPy array, not {type(out).__name__}")
    if out.dtype != np.dtype(np.int32) or out.ndim != 2 or not out.flags.c_contiguous or \
            not out.flags.writeable:
        raise TypeError("plateio: out must be a writable C-contiguous numpy.int32 array of shape "
                        f"(height, width), not {out.dtype} {out.shape}"
                        f"{'' if out.flags.c_contiguous else ', not contiguous'}"
                        f"{'' if out.flags.writeable else ', read-only'}")


def open(source: Source, out: Optional[np.ndarray] = None) -> Exposure:  # noqa: A001
    """Reads an exposure of either family into an Exposure (.data, .header, .format, .path,
    .mask); the library tells the family from the content.

    source: a path (str or os.PathLike); the bytes of a file (bytes, bytearray, memoryview); or a
    binary file object, read from its current position to its end. A file compressed with gzip,
    bzip2 or xz is recognised by its first bytes, whatever its name, and decompressed into an
    anonymous file in memory (never beside the data).
    out: an int32 array of the exposure's shape (height, width), C-contiguous and writable, to
    read into instead of a new array -- for a series, one array for every file. It becomes the
    Exposure's data. An array too small is refused before anything is written; one of the right
    size but another shape is written and then refused; a file found damaged while its pixels
    are read may leave part of them in it.

    Raises ReadError (an OSError) naming the file, with the library's reason and result code."""
    if out is not None:
        _check_out(out)
    lib = _library.library()
    with library_path(source) as (path, display):
        frame = _library.Frame()
        if out is None:
            frame = _probe(path, display)
            data = np.empty((frame.height, frame.width), dtype=np.int32)
        else:
            data = out
        code = lib.plateio_read(path, data.ctypes.data, data.size, ctypes.byref(frame), 0)
        if code != _library.OK:
            error = _failure(code, frame, display, path)
            if code == _library.E_CAPACITY:
                raise ValueError(f"plateio: out has shape {data.shape}, the exposure "
                                 f"{error.filename} is ({frame.height}, {frame.width})") from error
            raise error
        if data.shape != (frame.height, frame.width):
            raise ValueError(f"plateio: out has shape {data.shape}, the exposure is "
                             f"({frame.height}, {frame.width}); its {frame.height * frame.width} "
                             f"pixels were written into it all the same")
        unrecorded = None
        if _library.FAMILIES[frame.family] == "tra":
            # An X-Area file records every pixel; only a TRA plate leaves pixels without a value.
            unrecorded = np.empty(data.shape, dtype=np.uint8)
            mask_frame = _library.Frame()
            code = lib.plateio_read_mask(path, unrecorded.ctypes.data, unrecorded.size,
                                         ctypes.byref(mask_frame))
            if code != _library.OK:
                raise _failure(code, mask_frame, display, path)
        warning = _reason(frame) if frame.warnings else ""
        return Exposure(data=data, header=header_of(frame, display),
                        format=_library.FAMILIES[frame.family], path=display,
                        overflow_count=frame.overflow_count, warning=warning,
                        _unrecorded=unrecorded)

