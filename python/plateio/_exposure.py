"""Exposures of either family through the library's quiet functions: the family told by the
library from the content, the pixels read straight into arrays NumPy allocates (or the caller
gives), every failure a ReadError with the library's reason and code. Nothing is printed."""

from __future__ import annotations

import ctypes
import math
import mmap
import os
from dataclasses import dataclass, field
from functools import cached_property
from typing import IO, Optional, Union

import numpy as np

from . import _library
from ._errors import ReadError
from ._library import PIXEL_OVERFLOW
from ._sources import content

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, IO[bytes]]


@dataclass(frozen=True, eq=False)
class Exposure:
    """One exposure.

    data    the pixels, int32 of shape (height, width); PIXEL_OVERFLOW where a pixel was
            saturated (TRA) or above the file's overflow threshold (X-Area); 0 off a TRA plate
    header  the description of docs/header.md, as read_header gives it and with the two counts
            of the pixels read: "overflow_count" and "off_plate_count"
    format  "tra" or "xarea"
    path    the path it was read from as given, a file object's name, or None for bytes and
            unnamed streams (the header's "source" is its base name)
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


def _failure(code, frame, display):
    """The ReadError for a result code of the quiet functions."""
    reason = _reason(frame) or _library.library().plateio_strerror(code).decode()
    number = frame.system_error or None
    return ReadError(number, reason, display if display is not None else "<memory>", code)


def header_of(frame, display, overflow_count=None, off_plate_count=None):
    """The header dict of a frame, in the keys and order of docs/header.md: what the format does
    not carry is absent. The two counts are given where the pixels (or the mask) were read."""
    info = frame.info
    tra = frame.family == _library.FAMILY_TRA
    header = {"format": _library.FAMILIES[frame.family]}
    source = os.path.basename(display) if display else ""
    if source:
        header["source"] = source
    header.update(width=frame.width, height=frame.height, compressed=frame.compressed)
    if not tra:
        header["overflow_threshold"] = info.overflow_threshold
    saturation = _library.TRA_SATURATION if tra else info.overflow_threshold + 1
    if saturation < 2**31:
        header["saturation_value"] = saturation
    header["overflow_value"] = PIXEL_OVERFLOW
    if overflow_count is not None:
        header["overflow_count"] = overflow_count
    if off_plate_count is not None:
        header["off_plate_count"] = off_plate_count
    if not tra:
        header["overload_count"] = info.overload_count
    for index in _library.TRA_GEOMETRY if tra else range(9):
        if not math.isnan(info.geometry[index]):
            header[f"geometry_{index}"] = info.geometry[index]
    if not tra:
        header["setting"] = info.setting
        if not math.isnan(info.scale_value):
            header["scale_value"] = info.scale_value
    return header


class _Handle:
    """A source as the library's quiet functions take it -- a path, or content in memory -- with
    the three calls the package makes: probe, read and read_mask."""

    def __init__(self, source, header_only=False):
        self.content = content(source, header_only)
        self.display = self.content.display
        self._map = None
        self._bytes = None
        if self.content.path is None:
            data = self.content.data
            if self.content.size > len(data):
                # Only the first bytes are known: the rest is an anonymous mapping of zeros, which
                # takes no memory for the pages the probe does not touch.
                self._map = mmap.mmap(-1, self.content.size)
                self._map[:len(data)] = data
                data = self._map
            self._bytes = np.frombuffer(data, dtype=np.uint8)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._bytes = None
        if self._map is not None:
            self._map.close()

    def failure(self, code, frame):
        return _failure(code, frame, self.display)

    def probe(self):
        frame = _library.Frame()
        if self._bytes is None:
            code = _library.library().plateio_probe(self.content.path, ctypes.byref(frame))
        else:
            code = self._read(None, 0, frame, 0)
            if code == _library.E_CAPACITY:
                code = _library.OK  # a probe of memory: the frame is filled, no pixel read
        if code != _library.OK:
            raise self.failure(code, frame)
        return frame

    def _read(self, address, capacity, frame, flags):
        lib = _library.library()
        if self._bytes is None:
            return lib.plateio_read(self.content.path, address, capacity, ctypes.byref(frame), flags)
        return lib.plateio_read_memory(self._bytes.ctypes.data, self._bytes.size, address, capacity,
                                       ctypes.byref(frame), flags)

    def read(self, data, frame, flags=0):
        return self._read(data.ctypes.data, data.size, frame, flags)

    def read_mask(self, mask, frame):
        lib = _library.library()
        if self._bytes is None:
            return lib.plateio_read_mask(self.content.path, mask.ctypes.data, mask.size,
                                         ctypes.byref(frame))
        return lib.plateio_read_mask_memory(self._bytes.ctypes.data, self._bytes.size,
                                            mask.ctypes.data, mask.size, ctypes.byref(frame))


def detect_format(source: Source) -> str:
    """"tra" or "xarea": the family of a file as the library tells it from the content (X-Area by
    its magic, TRA by its row table and length), never from the name. Takes what open() takes.
    Raises ReadError when the file cannot be read or is neither."""
    with _Handle(source) as handle:
        return _library.FAMILIES[handle.probe().family]


def read_header(source: Source) -> dict:
    """The description of an exposure of either family without its pixels, as a dict with the
    keys of docs/header.md: "format" ("tra" or "xarea"), "source" (the base name of the file, absent
    for bytes), "width", "height", "compressed", "overflow_threshold" (X-Area only: the file's
    threshold), "saturation_value" (the lowest saturated raw count), "overflow_value",
    "overload_count", "geometry_0" to "geometry_8", "setting" and "scale_value". A value the
    family does not carry is absent: TRA files have no threshold, overload count, setting or
    scale value, and of the geometry only 0, 2, 3, 4 and 5. "overflow_count" and
    "off_plate_count" come with open(), which reads the pixels.

    At most 64 KiB of the file are read (of its decompressed content, when it is compressed).
    Takes what open() takes; raises ReadError."""
    return probe(source)[0]


def probe(source):
    """(read_header's dict, (height, width)) of a source."""
    with _Handle(source, header_only=True) as handle:
        frame = handle.probe()
        return header_of(frame, handle.display), (frame.height, frame.width)


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
    bzip2 or xz is recognised by its first bytes, whatever its name, and decompressed in memory
    (never beside the data). What is read into memory -- compressed content, a stream, a pipe, a
    device -- stops at what an exposure can need: a TRA file's 2,882,047 bytes, an X-Area
    container's entries, and at most plateio.MAX_DECOMPRESSED bytes (1 GiB by default) before the
    first bytes tell; content that goes on past its cap raises ReadError naming the cap.
    out: an int32 array of the exposure's shape (height, width), C-contiguous and writable, to
    read into instead of a new array -- for a series, one array for every file. It becomes the
    Exposure's data. An array too small is refused before anything is written; one of the right
    size but another shape is written and then refused; a file found damaged while its pixels
    are read may leave part of them in it.

    Raises ReadError (an OSError) naming the file, with the library's reason and result code."""
    if out is not None:
        _check_out(out)
    with _Handle(source) as handle:
        display = handle.display
        frame = _library.Frame()
        if out is None:
            probed = handle.probe()
            data = np.empty((probed.height, probed.width), dtype=np.int32)
        else:
            data = out
        code = handle.read(data, frame)
        shape = (frame.height, frame.width)
        if out is None and code in (_library.OK, _library.E_CAPACITY) and data.shape != shape:
            # Replaced or rewritten between the two calls: no `out` of the caller's is wrong.
            raise ReadError(None, f"it changed while it was read: {probed.width} x "
                            f"{probed.height} pixels when its header was read, {frame.width} x "
                            f"{frame.height} when its pixels were", display or "<memory>",
                            _library.E_CAPACITY if code != _library.OK else None)
        if code != _library.OK:
            error = handle.failure(code, frame)
            if code == _library.E_CAPACITY:
                raise ValueError(f"plateio: out has shape {data.shape}, the exposure "
                                 f"{error.filename} is {shape}") from error
            raise error
        if data.shape != shape:
            raise ValueError(f"plateio: out has shape {data.shape}, the exposure is {shape}; its "
                             f"{frame.height * frame.width} pixels were written into it all the "
                             f"same")
        unrecorded = None
        off_plate = 0
        if frame.family == _library.FAMILY_TRA:
            # An X-Area file records every pixel; only a TRA plate leaves pixels without a value.
            unrecorded = np.empty(data.shape, dtype=np.uint8)
            mask_frame = _library.Frame()
            code = handle.read_mask(unrecorded, mask_frame)
            if code != _library.OK:
                raise handle.failure(code, mask_frame)
            off_plate = int(np.count_nonzero(unrecorded))
        warning = _reason(frame) if frame.warnings else ""
        header = header_of(frame, display, frame.overflow_count, off_plate)
        return Exposure(data=data, header=header, format=header["format"], path=display,
                        overflow_count=frame.overflow_count, warning=warning,
                        _unrecorded=unrecorded)
