"""The detector geometry correction over arrays of points, one library call per array."""

from __future__ import annotations

import ctypes
from collections.abc import Mapping
from typing import Sequence, Union

import numpy as np

from . import _library
from ._library import GEOMETRY_PARAMS

Geometry = Union[Mapping, Sequence[float]]


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


def correct(points: np.ndarray, geometry: Geometry, distance: float,
            inverse: bool = False) -> np.ndarray:
    """Points through the detector geometry correction (correct_cry) or, with inverse, its
    inverse (anti_correct): bit for bit what the C functions give point by point, in one call of
    the library (plateio_correct_points) for the whole array.

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
    _library.library().plateio_correct_points(result.ctypes.data, result.size // 2,
                                              ctypes.byref(record), float(distance),
                                              1 if inverse else 0)
    return result
