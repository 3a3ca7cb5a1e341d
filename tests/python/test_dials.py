"""Exposures straight into DIALS through plateio's dxtbx format classes (entry points of the
staged distribution): dxtbx.load gives plateio.open's pixels and mask, dials.import makes a
template one rotation sequence with the geometry given, dials.find_spots finds the written spots."""

import gzip
import os
import shutil
import subprocess

import numpy as np
import pytest

import plateio
from support import need_module, need_program

dxtbx = need_module("dxtbx")
OVERRIDES = ["distance=50", "wavelength=0.9", "geometry.detector.panel.pixel_size=0.1,0.12",
             "fast_slow_beam_centre=250,200", "geometry.scan.oscillation=10,0.5"]


def _poni(path):
    values = dict(line.split(": ", 1) for line in open(path).read().splitlines()
                  if ": " in line and not line.startswith("#"))
    return {key: float(values[key]) for key in ("Distance", "Poni1", "Poni2", "Wavelength")}


@pytest.mark.parametrize("key,name", [("tra", None), ("xarea_compressed", None),
                                      ("xarea_wide", None), ("tra", "Copy.TRA.gz")])
def test_dxtbx_loads_plateio_pixels_mask_and_geometry(exposures, tmp_path, caplog, monkeypatch,
                                                      key, name):
    monkeypatch.setattr(need_module("plateio.dxtbx_format"), "_said", set())
    path = exposures[key]
    if name is not None:  # compressed, another case, no calibration beside it
        path = str(tmp_path / name)
        with open(exposures[key], "rb") as source, gzip.open(path, "wb") as target:
            shutil.copyfileobj(source, target)
    image = dxtbx.load(path)
    exposure = plateio.open(path)
    assert type(image).__name__ == {"tra": "FormatPlateioTRA"}.get(exposure.format, "FormatPlateioXArea")
    raw = image.get_raw_data()
    np.testing.assert_array_equal(raw.as_numpy_array(), exposure.data)
    panel = image.get_detector()[0]
    assert panel.get_image_size() == exposure.data.shape[::-1]
    low, high = panel.get_trusted_range()
    trusted = (exposure.data > low) & (exposure.data < high)
    mask = image.get_static_mask()
    if mask is not None:
        trusted &= mask[0].as_numpy_array()
    # Trusted: the pixels with a measurement (neither overflowed nor off the plate) below the
    # overflow mark; an X-Area count from 256001 up cannot be told from the mark by its value.
    overflowed = exposure.data == plateio.PIXEL_OVERFLOW
    measured = ~exposure.mask.astype(bool)
    np.testing.assert_array_equal(trusted, measured & (exposure.data < plateio.PIXEL_OVERFLOW))
    assert overflowed.any() or key == "tra"
    scan = image.get_scan()
    assert not scan.is_still() and image.get_goniometer() is not None
    poni = os.path.splitext(path)[0] + ".poni"
    if os.path.exists(poni):
        given = _poni(poni)
        assert panel.get_distance() == pytest.approx(given["Distance"] * 1e3)
        assert image.get_beam().get_wavelength() == pytest.approx(given["Wavelength"] * 1e10)
        assert panel.get_beam_centre(image.get_beam().get_s0()) == \
            pytest.approx((given["Poni2"] * 1e3, given["Poni1"] * 1e3))
    else:
        warned = [r.getMessage() for r in caplog.records if "Copy.TRA " in r.getMessage()]
        assert len(warned) == 1 and all(o.split("=")[0] + "=" in warned[0] for o in OVERRIDES)


def test_a_template_imports_as_one_sequence_with_the_geometry_given(plateio_tool, tmp_path):
    plateio_tool.run("synth", "--format", "xarea", "--size", "300x200", "--no-rings", "--spots", "5",
                     "--frames", "3", "--oscillation", "0,1", "-o", tmp_path / "s_###.xa")
    done = subprocess.run([need_program("dials.import"), "template=s_###.xa", *OVERRIDES],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    experiments = dxtbx.model.ExperimentList.from_file(str(tmp_path / "imported.expt"))
    assert len(experiments.imagesets()) == 1 and len(experiments) == 1
    experiment = experiments[0]
    panel, beam, scan = experiment.detector[0], experiment.beam, experiment.scan
    assert type(experiment.imageset).__name__ == "ImageSequence"
    assert scan.get_image_range() == (1, 3) and scan.get_oscillation() == pytest.approx((10, 0.5))
    assert beam.get_wavelength() == pytest.approx(0.9) and panel.get_distance() == pytest.approx(50)
    assert panel.get_pixel_size() == pytest.approx((0.1, 0.12))
    assert panel.get_beam_centre_px(beam.get_s0()) == pytest.approx((250, 200))
    np.testing.assert_array_equal(experiment.imageset.get_raw_data(2)[0].as_numpy_array(),
                                  plateio.open(str(tmp_path / "s_003.xa")).data)


@pytest.mark.parametrize("family", ["tra", "xarea"])
def test_find_spots_finds_the_written_spots(plateio_tool, tmp_path, family):
    path = tmp_path / f"spots.{'tra' if family == 'tra' else 'xa'}"
    plateio_tool.run("synth", "--format", family, "--no-rings", "--spots", "25", "--seed", "6",
                     *(["--size", "600x500"] if family == "xarea" else []), "-o", path)
    for command in (["dials.import", path.name], ["dials.find_spots", "imported.expt"]):
        done = subprocess.run([need_program(command[0]), *command[1:]], cwd=tmp_path,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    flex = need_module("dials.array_family.flex")
    found = np.array(flex.reflection_table.from_file(str(tmp_path / "strong.refl"))["xyzobs.px.value"])
    written = np.loadtxt(tmp_path / "spots.spots.txt", ndmin=2)
    distances = [np.min(np.hypot(found[:, 0] - x, found[:, 1] - y)) for x, y in written[:, :2]]
    assert len(written) == 25 and max(distances) < 1.0
