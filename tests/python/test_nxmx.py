"""NXmx files of plateio convert, read by the field's own tools: DIALS (dxtbx, dials.import,
dials.find_spots), fabio, pyFAI and h5py. The geometry given on the command line or in a .poni must
come back out of dxtbx's models; the pixels must be plateio.open's."""

import json
import os
import subprocess

import numpy as np
import pytest

import plateio
from support import need_module, need_program

h5py = need_module("h5py")
GEOMETRY = ["--wavelength", "0.7107", "--distance", "48", "--pixel-size", "0.1,0.12",
            "--beam-center", "610.5,590.25", "--oscillation", "10,0.5"]


def _convert(tool, *arguments):
    return subprocess.run([tool.path, "convert", *map(str, arguments)], capture_output=True, text=True)


@pytest.mark.parametrize("key", ["tra", "xarea_compressed"])
def test_dxtbx_and_fabio_read_what_was_given(plateio_tool, exposures, tmp_path, key):
    dxtbx = need_module("dxtbx")
    fabio = need_module("fabio")
    out = tmp_path / "one.nxs"
    assert _convert(plateio_tool, *GEOMETRY, "-o", out, exposures[key]).returncode == 0
    exposure = plateio.open(exposures[key])
    image = dxtbx.load(str(out))
    panel, beam, scan = image.get_detector()[0], image.get_beam(), image.get_scan()
    assert beam.get_wavelength() == pytest.approx(0.7107)
    assert panel.get_distance() == pytest.approx(48)
    assert panel.get_pixel_size() == pytest.approx((0.1, 0.12))
    assert panel.get_beam_centre_px(beam.get_s0()) == pytest.approx((610.5, 590.25))
    assert scan.get_oscillation() == pytest.approx((10, 0.5)) and scan.get_num_images() == 1
    pixels = np.array(image.get_raw_data(0)[0], dtype=np.int64).reshape(exposure.data.shape)
    np.testing.assert_array_equal(pixels, exposure.data)
    # The trusted range ends at the lowest saturated count: no real count lies above it, and every
    # overflowed pixel (256001, maybe below it) is masked instead.
    saturation = panel.get_trusted_range()[1]
    trusted = np.array(image.get_static_mask()[0], dtype=bool).reshape(exposure.data.shape)
    assert saturation == exposure.header["saturation_value"]
    assert not np.any(trusted & (exposure.data >= saturation))
    assert not np.any(trusted & ((exposure.data == plateio.PIXEL_OVERFLOW) | exposure.mask.astype(bool)))
    # fabio (and so pyFAI) by the plain name, and h5py's view of the classes.
    np.testing.assert_array_equal(fabio.open(str(out)).data, exposure.data)
    with h5py.File(out) as f:
        classes = {name: f[name].attrs.get("NX_class") for name in
                   ("entry", "entry/data", "entry/instrument/detector", "entry/sample")}
        assert classes == {"entry": "NXentry", "entry/data": "NXdata",
                           "entry/instrument/detector": "NXdetector", "entry/sample": "NXsample"}
        assert f["entry/definition"][()] == b"NXmx"
        assert f["entry/data/data"].chunks == (1, *exposure.data.shape)
        header = f["entry/instrument/detector/header"]
        assert {k: header[k][()] for k in ("width", "height")} == \
            {"width": exposure.data.shape[1], "height": exposure.data.shape[0]}
    # CBF has no such structure: the geometry goes into its mini-header, as detector software writes it.
    assert _convert(plateio_tool, *GEOMETRY, "-o", tmp_path / "one.cbf", exposures[key]).returncode == 0
    lines = fabio.open(str(tmp_path / "one.cbf")).header["_array_data.header_contents"].splitlines()
    assert {"# Wavelength 0.7107 A", "# Detector_distance 0.048 m", "# Pixel_size 1e-04 m x 0.00012 m",
            "# Beam_xy (610.5, 590.25) pixels", "# Start_angle 10 deg.", "# Angle_increment 0.5 deg."} <= \
        set(lines)


def test_a_series_goes_to_dials_and_pyfai(plateio_tool, tmp_path):
    """A synthetic rotation series with spots, its .poni, one NXmx stack: dials.import takes the
    geometry, dials.find_spots finds every written spot within a pixel, pyFAI-integrate the file."""
    pyFAI = need_module("pyFAI")
    need_module("dxtbx")
    series = tmp_path / "s_###.xa"
    plateio_tool.run("synth", "--format", "xarea", "--size", "500x400", "--no-rings", "--spots", "30",
                     "--frames", "4", "--oscillation", "0,1", "--seed", "4", "-o", series)
    frames = sorted(str(p) for p in tmp_path.glob("s_*.xa"))
    poni = pyFAI.load(str(tmp_path / "s.poni"))
    out = tmp_path / "series.h5"
    assert _convert(plateio_tool, "--stack", "--poni", tmp_path / "s.poni", "--oscillation", "0,1",
                    "-o", out, *frames).returncode == 0
    with h5py.File(out) as f:
        assert f["entry/data/data"].shape == (4, 400, 500)
        assert list(f["entry/sample/transformations/omega"][()]) == [0, 1, 2, 3]
        assert f["entry/instrument/detector/distance"][()] == pytest.approx(poni.dist * 1e3)
        assert f["entry/instrument/detector/beam_center_x"][()] == pytest.approx(poni.poni2 / poni.pixel2)
        assert f["entry/instrument/beam/incident_wavelength"][()] == pytest.approx(poni.wavelength * 1e10)
        sources = [s.decode() for s in f["entry/instrument/detector/header/source"][()]]
        assert sources == [os.path.basename(p) for p in frames]
        for k, path in enumerate(frames):
            np.testing.assert_array_equal(f["entry/data/data"][k], plateio.open(path).data)
    for command in (["dials.import", str(out), "distance=50"], ["dials.find_spots", "imported.expt"]):
        done = subprocess.run([need_program(command[0]), *command[1:]], cwd=tmp_path,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    imported = json.loads((tmp_path / "imported.expt").read_text())
    assert imported["detector"][0]["panels"][0]["origin"][2] == pytest.approx(-50)
    assert imported["scan"][0]["image_range"] == [1, 4]
    found = _found_spots(tmp_path / "strong.refl")
    written = np.loadtxt(tmp_path / "s.spots.txt", ndmin=2)
    distances = [np.min(np.hypot(found[:, 0] - x, found[:, 1] - y)) for x, y in written[:, :2]]
    assert len(written) == 30 and max(distances) < 1.0
    config = dict(poni.get_config(), application="pyfai-integrate", version=3, nbpt_rad=500,
                  unit="2th_deg", do_solid_angle=False, method=["full", "histogram", "cython"])
    (tmp_path / "integrate.json").write_text(json.dumps(config))
    done = subprocess.run([need_program("pyFAI-integrate"), "--no-gui", "-j", "integrate.json", "-o",
                           "s.dat", str(out)], capture_output=True, text=True, cwd=tmp_path,
                          env={**os.environ, "QT_QPA_PLATFORM": "offscreen"})
    assert done.returncode == 0 and np.loadtxt(tmp_path / "s.dat").shape == (500, 2), done.stderr


def _found_spots(path):
    flex = need_module("dials.array_family.flex")
    return np.array(flex.reflection_table.from_file(str(path))["xyzobs.px.value"])


BAD = [  # (name, arguments, exit status)
    ("frames of two sizes", ["--stack", "{tra}", "{xarea_compressed}"], 2),
    ("negative wavelength", ["--wavelength", "-1", "{tra}"], 2),
    ("infinite distance", ["--distance", "inf", "{tra}"], 2),
    ("beam centre of one number", ["--beam-center", "600", "{tra}"], 2),
    ("zero oscillation width", ["--oscillation", "0,0", "{tra}"], 2),
    ("a rotated calibration", ["--poni", "{rotated}", "{tra}"], 2),
    ("a missing calibration", ["--poni", "{missing}", "{tra}"], 1),
    ("a series with an unreadable frame", ["--stack", "{tra}", "{missing}"], 1),
]


@pytest.mark.parametrize("name,arguments,status", BAD, ids=[b[0] for b in BAD])
def test_refused_with_nothing_written(plateio_tool, exposures, tmp_path, name, arguments, status):
    rotated = tmp_path / "rotated.poni"
    rotated.write_text("Distance: 0.05\nPoni1: 0.06\nPoni2: 0.06\nRot1: 0.1\nRot2: 0\nRot3: 0\n"
                       "PixelSize1: 1e-4\nPixelSize2: 1e-4\nWavelength: 7.1e-11\n")
    names = dict(exposures, rotated=rotated, missing=tmp_path / "missing")
    done = _convert(plateio_tool, "-o", tmp_path / "out.h5", *(a.format(**names) for a in arguments))
    assert done.returncode == status and done.stderr, done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["rotated.poni"]
