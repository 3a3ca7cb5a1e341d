"""plateio: image-plate X-ray exposures (TRA and X-Area files) as NumPy arrays.

    >>> import plateio
    >>> exposure = plateio.open("powder.tra")
    >>> exposure.data.shape, exposure.data.dtype, exposure.format
    ((1200, 1200), dtype('int32'), 'tra')

A thin layer over libplateio, loaded with ctypes: every function calls the library's exported
function of the same purpose, and nothing else reads the files.

open, read_header and detect_format use the library's quiet functions: the library tells the
family from the content, the pixels go straight into an array NumPy allocates (or the one passed
as `out`), nothing is printed, and a file that cannot be read raises ReadError with the library's
reason and code. They take a path, the bytes of a file or a binary file object, compressed with
gzip, bzip2 or xz or not. Exposure.mask marks the pixels without a measurement, for pyFAI.
Exposure.header and read_header() give the keys of docs/header.md.

MAX_DECOMPRESSED caps what the package itself reads into memory from compressed content, streams
and devices before their first bytes tell what the exposure can need (after that, no more than it
can need is read): 1 GiB, or the number of bytes in the environment variable
PLATEIO_MAX_DECOMPRESSED when the package is imported; a program may set plateio.MAX_DECOMPRESSED.
Content past a cap raises ReadError naming it. read_header reads at most 64 KiB of content.

read_tra, read_xi, read_az_tra, read_container, uncompress, convert_8_to_double and
convert_4_to_int call the library's specified functions of those names and give exactly what
they give, their console messages included. Pixel blocks those allocate are handed to NumPy
without a copy: the array's base owns the block and releases it with the C library's free when
the last array or view on it is garbage-collected.

Also: plateio.fabio_plugin (both families in fabio, and so in pyFAI's tools) and plateio.dask
(lazy stacks of many exposures), imported on their own since they need fabio or Dask.

Threads: the package keeps no state beyond the loaded library, the library keeps none at all, and
ctypes releases the GIL during each call, so several threads may read different files at once.
"""

from ._errors import ReadError
from ._exposure import Exposure, detect_format, open, read_header
from ._geometry import correct
from ._legacy import (PixelImage, convert_4_to_int, convert_8_to_double, read_az_tra,
                      read_container, read_tra, read_xi, uncompress)
from ._sources import ceiling_from_environment as _ceiling
from ._library import (GEOMETRY_PARAMS, PIXEL_OVERFLOW, REDUCTION_PARAMS, UNSET, library_path,
                       load_library)

MAX_DECOMPRESSED = _ceiling()
del _ceiling

__all__ = [
    "MAX_DECOMPRESSED", "Exposure", "PixelImage", "ReadError", "PIXEL_OVERFLOW", "UNSET", "GEOMETRY_PARAMS",
    "REDUCTION_PARAMS", "open", "read_header", "detect_format", "read_tra", "read_xi",
    "read_az_tra", "read_container", "uncompress", "correct", "convert_8_to_double",
    "convert_4_to_int", "load_library", "library_path",
]


def __getattr__(name):
    # The version is the loaded library's, so asking for it loads the library; importing the
    # package does not.
    if name == "__version__":
        from . import _library
        return _library.library().plateio_version().decode("ascii")
    raise AttributeError(f"module 'plateio' has no attribute {name!r}")


def __dir__():
    return sorted(__all__ + ["__version__"])
