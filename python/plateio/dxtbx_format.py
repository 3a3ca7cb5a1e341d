"""TRA and X-Area exposures in DIALS: dxtbx format classes, found by dxtbx through the
`dxtbx.format` entry points of the installed distribution (pip install, or cmake --install, which
writes the same entry points).

    dials.import template=series_###.xa distance=48 wavelength=0.7107 \\
        geometry.detector.panel.pixel_size=0.1,0.1 fast_slow_beam_centre=250,200 \\
        geometry.scan.oscillation=0,1

Recognised: an X-Area file by its content (its magic), a TRA file by its name (.tra in any case)
and then its row table; either compressed with gzip, bzip2 or xz (told by the first bytes). The
pixels are plateio.open's, handed to dxtbx without a second decode; the static mask leaves out the
pixels off a TRA plate; the trusted range ends at the lowest saturated count and never above the
value of an overflowed pixel (PIXEL_OVERFLOW, 256001), so no overflowed pixel is taken for a
measurement -- X-Area counts from 256001 up count as overloads. Files of a template (or several
files of consecutive numbers) form one rotation sequence.

The files do not say what their header values mean physically, so the geometry comes from a pyFAI
calibration beside the file when there is one (NAME.poni for NAME.tra; for a series file
s_001.xa, s_001.poni or else the series' s.poni, as plateio synth writes them; without rotations),
and otherwise from the placeholder values below, with a logged warning that the user must give
the geometry on import. The scan's oscillation is always a placeholder: frame n (from the file
name's number, 1 without one) starts at (n - 1) * 1 degree and is 1 degree wide.
"""

from __future__ import annotations

import json
import logging
import os
import re

import numpy as np
from dxtbx.format.Format import Format

import plateio
from plateio._exposure import probe

logger = logging.getLogger("dxtbx.format.plateio")

#: Geometry when the file has no calibration beside it: wavelength (angstrom), distance (mm),
#: pixel size (mm, fast and slow), the beam at the image's centre, 1 degree a frame.
PLACEHOLDER_WAVELENGTH = 1.0
PLACEHOLDER_DISTANCE = 100.0
PLACEHOLDER_PIXEL_SIZE = (0.1, 0.1)
PLACEHOLDER_OSCILLATION_WIDTH = 1.0

XAREA_MAGIC = b"STOE_XFILE\0"
_COMPRESSION_SUFFIXES = (".gz", ".bz2", ".xz")
_COMPRESSIONS = ((b"\x1f\x8b", "gzip"), (b"BZh", "bz2"), (b"\xfd7zXZ\x00", "lzma"))
_OVERRIDES = ("distance=, wavelength=, geometry.detector.panel.pixel_size=, "
              "fast_slow_beam_centre= and geometry.scan.oscillation=")
# What was already logged in this process: a series of a thousand files says each thing once
# (the placeholders once, naming the first file without a calibration).
_said = set()


def _say_once(message, key=None):
    """Logs a warning once a process for each key (the message itself by default)."""
    key = message if key is None else key
    if key not in _said:
        _said.add(key)
        logger.warning(message)


def _head(path, size):
    """The first `size` bytes of a file's content, decompressed when the file is compressed."""
    with open(path, "rb") as f:
        head = f.read(max(size, 6))
        for magic, module in _COMPRESSIONS:
            if head.startswith(magic):
                f.seek(0)
                opener = __import__(module).open
                with opener(f, "rb") as content:
                    return content.read(size)
    return head[:size]


def _plain_name(path):
    """The file name without a compression suffix."""
    name = os.path.basename(os.fspath(path))
    for suffix in _COMPRESSION_SUFFIXES:
        if name.lower().endswith(suffix):
            return name[:-len(suffix)]
    return name


def _family(path):
    try:
        return plateio.detect_format(path)
    except (OSError, ValueError):
        return None


def poni_candidates(path):
    """The calibrations that may lie beside an exposure, in the order they are looked for:
    NAME.poni, then, for a file numbered in a series, the series' (its number and the separator
    before it left out: s_001.xa -> s.poni)."""
    directory = os.path.dirname(os.path.abspath(path))
    stem = os.path.splitext(_plain_name(path))[0]
    names = [stem + ".poni"]
    series = re.sub(r"[_.-]?[0-9]+$", "", stem)
    if series != stem and series:
        names.append(series + ".poni")
    return [os.path.join(directory, name) for name in names]


def read_poni(path):
    """A pyFAI calibration file as {"distance", "beam_centre", "pixel_size" (mm, fast then slow),
    "wavelength" (angstrom)}. Raises ValueError for what the models cannot take: a rotated
    detector, or a value missing or not positive."""
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if ":" in line and not line.lstrip().startswith("#"):
                key, value = line.split(":", 1)
                values[key.strip().lower()] = value.strip()
    try:
        if any(float(values.get(f"rot{k}", 0)) != 0 for k in (1, 2, 3)):
            raise ValueError("its detector is rotated (Rot1..Rot3), which these models do not take")
        if "detector_config" in values:
            config = json.loads(values["detector_config"])
            pixel1, pixel2 = float(config["pixel1"]), float(config["pixel2"])
        else:
            pixel1, pixel2 = float(values["pixelsize1"]), float(values["pixelsize2"])
        distance, wavelength = float(values["distance"]), float(values["wavelength"])
        poni1, poni2 = float(values["poni1"]), float(values["poni2"])
    except KeyError as missing:
        raise ValueError(f"it has no {missing.args[0]}") from None
    if not all(np.isfinite(v) and v > 0 for v in (pixel1, pixel2, distance, wavelength)):
        raise ValueError("a pixel size, the distance or the wavelength is not a positive number")
    # pyFAI's lengths are metres along (slow, fast) from the first pixel's outer corner, as
    # dxtbx's beam centre is millimetres along (fast, slow) from the same corner.
    return {"distance": distance * 1e3, "beam_centre": (poni2 * 1e3, poni1 * 1e3),
            "pixel_size": (pixel2 * 1e3, pixel1 * 1e3), "wavelength": wavelength * 1e10}


class _FormatPlateio(Format):
    """What the two families share: the models, the pixels and the mask, all through plateio."""

    family = None

    def _start(self):
        self._path = os.fspath(self._image_file)
        header, (height, width) = probe(self._path)
        self._image_size = (width, height)
        threshold = header.get("overflow_threshold", -1)
        saturation = 65535 if header["format"] == "tra" else threshold + 1
        # Exclusive at both ends in dxtbx: a pixel at the upper bound is an overload.
        upper = min(saturation, plateio.PIXEL_OVERFLOW) if saturation > 0 else plateio.PIXEL_OVERFLOW
        self._trusted_range = (-1, upper)
        self._exposure = None
        self._geometry = self._calibration()

    def _calibration(self):
        for candidate in poni_candidates(self._path):
            if os.path.isfile(candidate):
                try:
                    return read_poni(candidate)
                except (OSError, ValueError) as error:
                    _say_once(f"plateio: {candidate} is not used: {error}")
        _say_once(f"plateio: {_plain_name(self._path)} does not say its geometry (no .poni beside "
                  f"it): wavelength {PLACEHOLDER_WAVELENGTH} A, distance {PLACEHOLDER_DISTANCE} "
                  f"mm, pixels of {PLACEHOLDER_PIXEL_SIZE[0]} mm, the beam at the centre and "
                  f"{PLACEHOLDER_OSCILLATION_WIDTH} degree a frame are placeholders; give the "
                  f"real values on import with {_OVERRIDES}", key="placeholders")
        width, height = self._image_size
        pixel = PLACEHOLDER_PIXEL_SIZE
        return {"distance": PLACEHOLDER_DISTANCE, "wavelength": PLACEHOLDER_WAVELENGTH,
                "pixel_size": pixel, "beam_centre": (width * pixel[0] / 2, height * pixel[1] / 2)}

    def get_vendortype(self):
        return "plateio"

    def _goniometer(self):
        return self._goniometer_factory.single_axis()

    def _detector(self):
        g = self._geometry
        return self._detector_factory.simple("IMAGE_PLATE", g["distance"], g["beam_centre"], "+x",
                                             "-y", g["pixel_size"], self._image_size,
                                             self._trusted_range, [])

    def _beam(self):
        return self._beam_factory.simple(self._geometry["wavelength"])

    def _scan(self):
        from dxtbx.model.scan_helpers import scan_helper_image_files

        try:
            index = scan_helper_image_files.image_to_index(os.path.basename(self._path))
        except (RuntimeError, ValueError):  # a name without a number
            index = 1
        width = PLACEHOLDER_OSCILLATION_WIDTH
        return self._scan_factory.make_scan((index, index), 0.0, ((index - 1) * width, width),
                                            {index: 0.0})

    def exposure(self):
        """The file read once by plateio.open, kept while this instance lives."""
        if self._exposure is None:
            self._exposure = plateio.open(self._path)
            if self._exposure.warning:
                _say_once(f"plateio: {self._path}: {self._exposure.warning}")
        return self._exposure

    def get_raw_data(self):
        data = self.exposure().data
        try:
            from dxtbx import flumpy
        except ImportError:  # a dxtbx without it copies
            from scitbx.array_family import flex
            return flex.int(data)
        # A view: the flex array and the exposure's NumPy array share the pixels.
        return flumpy.from_numpy(data)

    def get_static_mask(self):
        """True where a pixel carries a measurement: all of them but those off a TRA plate (the
        overflowed ones, which differ from frame to frame, are outside the trusted range)."""
        if self.family != "tra":
            return None
        from dxtbx import flumpy

        exposure = self.exposure()
        measured = ~exposure.mask.astype(bool) | (exposure.data == plateio.PIXEL_OVERFLOW)
        return (flumpy.from_numpy(np.ascontiguousarray(measured)),)


class FormatPlateioXArea(_FormatPlateio):
    """X-Area exposures, plain or difference-coded, recognised by their content."""

    family = "xarea"

    @staticmethod
    def understand(image_file):
        try:
            if _head(image_file, len(XAREA_MAGIC)) != XAREA_MAGIC:
                return False
        except (OSError, EOFError, ValueError):
            return False
        return _family(image_file) == "xarea"


class FormatPlateioTRA(_FormatPlateio):
    """TRA exposures: a name ending in .tra (any case; before .gz, .bz2 or .xz) and a row table
    the library finds plausible."""

    family = "tra"

    @staticmethod
    def understand(image_file):
        if not _plain_name(image_file).lower().endswith(".tra"):
            return False
        return _family(image_file) == "tra"
