"""TRA and X-Area files in fabio, and so in everything that opens images through it (pyFAI and its
command-line tools, silx, ...).

    >>> import plateio.fabio_plugin, fabio
    >>> image = fabio.open("powder.tra")
    >>> image.data.dtype, image.data.shape, image.header["format"], image.mask.dtype
    (dtype('int32'), (1200, 1200), 'tra', dtype('uint8'))

Importing this module registers one fabio image class per family with the fabio of this Python:

  XareaImage  found by fabio.open from the file's first bytes, the container's magic
              "STOE_XFILE", whatever the file is called
  TraImage    found by the name's extension ".tra", in any case (".TRA", ".Tra"), also behind
              ".gz" or ".bz2"

fabio looks at a file's first bytes first and at its name only when no magic matches. A TRA file
has no magic, so fabio.open can tell it only by its name: a TRA file without the extension is not
identified ("Fabio could not identify ..."); and if the free text at the start of its header
happened to begin like another format's magic (an EDF "{", say), fabio would take it for that
format. For such files use plateio.fabio_plugin.open(source), which lets the library tell the family
from the content, or fabio.factory("traimage").read(path), or plateio.open.

The image's `data` is the library's int32 array (plateio.open's), `header` a dict of strings with
the keys of plateio's header dict (docs/header.md), each value as str() gives it and reals as repr()
gives them, which reads back exactly; and `mask` the uint8 mask of Exposure.mask, non-zero
where a pixel carries no measurement, as pyFAI takes it (fabio's image classes have no common
place for a mask; its sparse images keep theirs in `mask` too). fabio.openheader reads the
header alone. Sources are what plateio.open takes: paths, file objects, bytes, compressed or not.

pyFAI's command-line tools (pyFAI-integrate, pyFAI-calib2) import fabio themselves, with no place
for a user's code: cmake --install puts a one-line plateio-fabio.pth beside the package, which has
this module imported right after fabio in every process that imports fabio, and in no other.
"""

from __future__ import annotations

import os
import fabio
from fabio import fabioimage, openimage

import plateio
from plateio._exposure import Source
from plateio._sources import describe

__all__ = ["TraImage", "XareaImage", "open", "register"]

XAREA_MAGIC = b"STOE_XFILE\0"


def _header_strings(header: dict) -> dict:
    return {key: repr(value) if isinstance(value, float) else str(value)
            for key, value in header.items()}


def _source_of(infile):
    """What fabio hands over -- a name, or a file object it opened -- as a plateio source: the
    file's own path where it has one (the library then reads only what it needs)."""
    name = getattr(infile, "name", None)
    if hasattr(infile, "read") and isinstance(name, str) and os.path.isfile(name):
        return name
    return infile


class _PlateioImage(fabioimage.FabioImage):
    """What both families share: reading through plateio, the header as strings, the mask."""

    FAMILY = None

    def __init__(self, data=None, header=None):
        super().__init__(data=data, header=header)
        self.mask = None

    def _take(self, exposure: plateio.Exposure, filename):
        if exposure.format != self.FAMILY:
            raise IOError(f"{filename}: a {exposure.format} file, not {self.FAMILY}")
        self.data = exposure.data
        self.header = self.check_header(_header_strings(exposure.header))
        self.mask = exposure.mask
        self._shape = None
        self._dtype = None
        self.filename = filename
        self.resetvals()
        return self

    def read(self, fname, frame=None):
        if frame not in (None, 0):
            raise IndexError(f"{fname}: one frame only, not frame {frame}")
        source = _source_of(fname)
        filename = fname if isinstance(fname, str) else describe(source)
        return self._take(plateio.open(source), filename)

    def _readheader(self, infile):
        header = plateio.read_header(_source_of(infile))
        if header["format"] != self.FAMILY:
            raise IOError(f"{getattr(infile, 'name', infile)}: a {header['format']} file, "
                          f"not {self.FAMILY}")
        self.header = self.check_header(_header_strings(header))


class TraImage(_PlateioImage):
    """A TRA exposure: 1200 x 1200 int32 pixels, 0 off the round plate."""

    DESCRIPTION = "TRA image-plate exposure (plateio)"
    DEFAULT_EXTENSIONS = ["tra"]
    FAMILY = "tra"


class XareaImage(_PlateioImage):
    """An X-Area exposure, plain or difference-coded."""

    DESCRIPTION = "X-Area image-plate exposure (plateio)"
    DEFAULT_EXTENSIONS = []
    FAMILY = "xarea"


def open(source: Source) -> fabioimage.FabioImage:  # noqa: A001 -- fabio's own name
    """A fabio image of either family, told apart by the library from the content (so TRA files
    need no extension): a TraImage or an XareaImage."""
    exposure = plateio.open(source)
    image = TraImage() if exposure.format == "tra" else XareaImage()
    name = source if isinstance(source, str) else describe(source)
    return image._take(exposure, name)


def register() -> None:
    """Registers both classes and the X-Area magic with fabio (done once on import; again does
    nothing)."""
    fabio.register(TraImage)
    fabio.register(XareaImage)
    if not any(magic == XAREA_MAGIC for magic, _ in openimage.MAGIC_NUMBERS):
        # No other format's magic begins with "S": the place in the list does not matter.
        openimage.MAGIC_NUMBERS.append((XAREA_MAGIC, "xarea"))


register()
