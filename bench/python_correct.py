"""plateio.correct against the package's former point-by-point calls and against NumPy doing the
same arithmetic, all measured in one run on the same points.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_correct.py [points] [repeats]

  per point    one ctypes call of correct_cry (or anti_correct) per point, as the package made them
               before plateio_correct_points
  plateio      plateio.correct: a copy of the points and one call of plateio_correct_points
  NumPy        the correction's stages written as NumPy expressions on whole arrays (rotation,
               radius, the twist's cosine and sine, offsets, perspective): the work NumPy's own
               functions need for the same result, within rounding

The times are the best of `repeats` runs (the per-point loop: of one run).
"""

import ctypes
import sys
import time

import numpy as np

import plateio
from plateio import _library

PARAMS = {"radial_shift": 0.5, "tangential_shift": 0.25, "offset_x": -1.5, "offset_y": 3.0,
          "distance_offset": 1.0, "tilt_y": 2.0, "tilt_x": -4.0, "rotation": 12.5}
DISTANCE = 250.0


def per_point(points, inverse):
    """The package's correct() before plateio_correct_points: one C call per point."""
    result = np.array(points, dtype=np.float64, order="C", copy=True)
    lib = _library.library()
    function = lib.anti_correct if inverse else lib.correct_cry
    record = _library.GeometryParams(**PARAMS)
    reference = ctypes.byref(record)
    base = result.ctypes.data
    for offset in range(0, result.size * 8, 16):
        function(base + offset, reference, DISTANCE)
    return result


def numpy_correct(points, inverse):
    p = PARAMS
    if inverse:
        scale = (DISTANCE + p["distance_offset"]) / DISTANCE
        x, y = points[:, 0], points[:, 1]
        radial = 1.0 - p["radial_shift"] / np.sqrt(x * x + y * y)
        tx, ty = np.radians(-p["tilt_x"]), np.radians(p["tilt_y"])
        x = (scale / (np.cos(tx) / x + np.sin(tx) / DISTANCE) + p["offset_x"]) * radial
        y = (scale / (np.cos(ty) / y + np.sin(ty) / DISTANCE) + p["offset_y"]) * radial
        twist = p["tangential_shift"] / np.sqrt(x * x + y * y)
        c, s = np.cos(twist), np.sin(twist)
        u, v = x * c + y * s, y * c - x * s
        r = np.radians(-p["rotation"])
        return np.stack([u * np.cos(r) - v * np.sin(r), u * np.sin(r) + v * np.cos(r)], axis=1)
    r = np.radians(p["rotation"])
    u = points[:, 0] * np.cos(r) - points[:, 1] * np.sin(r)
    v = points[:, 0] * np.sin(r) + points[:, 1] * np.cos(r)
    radius = np.sqrt(u * u + v * v)
    scale = 1.0 + p["radial_shift"] / radius
    twist = p["tangential_shift"] / radius
    c, s = np.cos(twist), np.sin(twist)
    x = scale * (u * c - v * s) - p["offset_x"]
    y = scale * (u * s + v * c) - p["offset_y"]
    reduced = DISTANCE - p["distance_offset"]
    stretch = DISTANCE / reduced
    tx, ty = np.radians(-p["tilt_x"]), np.radians(p["tilt_y"])
    x = np.cos(tx) / (stretch / x - np.sin(tx) / DISTANCE)
    y = np.cos(ty) / (stretch / y - np.sin(ty) / DISTANCE)
    return np.stack([x, y], axis=1)


def best(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    points = np.random.default_rng(1).uniform(-600.0, 600.0, size=(count, 2))
    print(f"{count} points, libplateio {plateio.__version__}, NumPy {np.__version__}")
    print(f"{'':14}{'per point':>12}{'plateio':>12}{'NumPy':>12}{'per point/plateio':>20}"
          f"{'plateio/NumPy':>15}")
    for inverse, name in ((False, "correct_cry"), (True, "anti_correct")):
        slow, expected = best(lambda: per_point(points, inverse), 1)
        fast, result = best(lambda: plateio.correct(points, PARAMS, DISTANCE, inverse=inverse),
                            repeats)
        numpy_time, approximate = best(lambda: numpy_correct(points, inverse), repeats)
        if not np.array_equal(result.view(np.int64), expected.view(np.int64)):
            raise SystemExit(f"{name}: plateio.correct differs from the point-by-point calls")
        np.testing.assert_allclose(approximate, result, rtol=1e-9, atol=1e-9)
        print(f"{name:14}{slow * 1e3:10.1f}ms{fast * 1e3:10.1f}ms{numpy_time * 1e3:10.1f}ms"
              f"{slow / fast:19.1f}x{fast / numpy_time:14.2f}x")


if __name__ == "__main__":
    main()
