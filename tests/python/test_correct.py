"""correct() against the C transforms, point by point: the reference is `plateio correct`, which
calls correct_cry or anti_correct once per point and prints each result as its exact double."""

import numpy as np
import pytest

import plateio

# A spread of points: both signs, tiny and large coordinates, points on the axes.
POINTS = np.array([
    [3.0, 4.0], [-1.0, 0.5], [120.5, -80.25], [-300.0, -299.0], [0.0, 17.0], [42.0, 0.0],
    [1e-9, -2e-9], [599.5, 600.0], [-0.001, 1234.5], [7.25, -7.25],
])

PARAMETER_SETS = [
    ("none", {}),
    ("rotation", {"rotation": 30.0}),
    ("radial and tangential", {"radial_shift": 1.5, "tangential_shift": -0.75}),
    ("offsets", {"offset_x": 2.5, "offset_y": -1.25}),
    ("tilts", {"tilt_x": 5.0, "tilt_y": -3.5}),
    ("distance offset", {"distance_offset": 2.0}),
    ("all", {"radial_shift": 0.5, "tangential_shift": 0.25, "offset_x": -1.5, "offset_y": 3.0,
             "distance_offset": 1.0, "tilt_y": 2.0, "tilt_x": -4.0, "rotation": -12.5}),
]


@pytest.mark.parametrize("inverse", [False, True], ids=["correct_cry", "anti_correct"])
@pytest.mark.parametrize("name,params", PARAMETER_SETS, ids=[p[0] for p in PARAMETER_SETS])
def test_correct_equals_the_c_function(plateio_tool, name, params, inverse):
    distance = 250.0
    ours = plateio.correct(POINTS, params, distance, inverse=inverse)
    theirs = plateio_tool.correct(POINTS, params, distance, inverse)
    assert ours.shape == POINTS.shape and ours.dtype == np.dtype(np.float64)
    # Bit for bit: the same C function on the same doubles.
    np.testing.assert_array_equal(ours, theirs)


def test_known_values():
    # A rotation of 90 degrees turns +x toward +y, exactly (the built-in sine and cosine in
    # degrees give exact 0 and 1 at multiples of 90).
    np.testing.assert_array_equal(plateio.correct([[3, 4], [1, 0]], {"rotation": 90}, 200),
                                  [[-4, 3], [0, 1]])
    # A distance offset of 2 at a distance of 200 scales by 0.99, and the inverse by 1.01.
    np.testing.assert_allclose(plateio.correct([3, 4], {"distance_offset": 2}, 200), [2.97, 3.96],
                               rtol=1e-12)
    np.testing.assert_allclose(plateio.correct([2.97, 3.96], {"distance_offset": 2}, 200,
                                               inverse=True), [2.9997, 3.9996], rtol=1e-12)
    # The origin: correct_cry gives (0, 0); anti_correct gives NaN.
    assert plateio.correct([0, 0], {}, 200).tolist() == [0.0, 0.0]
    assert np.isnan(plateio.correct([0, 0], {}, 200, inverse=True)).all()


def test_the_inverse_undoes_the_correction_where_it_is_exact():
    params = {"rotation": 20.0, "tangential_shift": 0.5, "offset_x": 1.0, "offset_y": -2.0,
              "tilt_x": 3.0, "tilt_y": -1.0}
    corrected = plateio.correct(POINTS[:6], params, 300.0)
    assert not np.allclose(corrected, POINTS[:6])
    np.testing.assert_allclose(plateio.correct(corrected, params, 300.0, inverse=True), POINTS[:6],
                               rtol=1e-9, atol=1e-9)


def test_parameters_by_name_or_in_order():
    by_name = {name: float(i + 1) / 10 for i, name in enumerate(plateio.GEOMETRY_PARAMS)}
    in_order = [float(i + 1) / 10 for i in range(8)]
    np.testing.assert_array_equal(plateio.correct(POINTS, by_name, 180.0),
                                  plateio.correct(POINTS, in_order, 180.0))
    np.testing.assert_array_equal(plateio.correct(POINTS, {"rotation": 0.0}, 180.0),
                                  plateio.correct(POINTS, [0.0] * 8, 180.0))
    with pytest.raises(ValueError, match="unknown geometry parameter"):
        plateio.correct(POINTS, {"rotate": 1.0}, 180.0)
    with pytest.raises(ValueError, match="8 values"):
        plateio.correct(POINTS, [0.0] * 7, 180.0)


def test_points_in_and_out():
    points = POINTS.copy()
    single = plateio.correct(points[2], {"rotation": 45}, 100.0)
    assert single.shape == (2,)
    np.testing.assert_array_equal(points, POINTS), "the input is not changed"
    many = plateio.correct(points, {"rotation": 45}, 100.0)
    np.testing.assert_array_equal(many[2], single)
    # Lists, integers, float32 and non-contiguous arrays are taken as doubles.
    wide = np.zeros((len(POINTS), 4), dtype=np.float32)
    wide[:, ::2] = POINTS
    np.testing.assert_array_equal(plateio.correct(wide[:, ::2], {}, 100.0),
                                  plateio.correct(POINTS.astype(np.float32), {}, 100.0))
    assert plateio.correct(np.zeros((0, 2)), {}, 100.0).shape == (0, 2)
    for bad in (np.zeros((3, 3)), np.zeros(3), np.zeros((2, 2, 2))):
        with pytest.raises(ValueError, match="shape"):
            plateio.correct(bad, {}, 100.0)
