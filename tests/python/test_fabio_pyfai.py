"""Both families in fabio through plateio.fabio_plugin, pyFAI's integrator on plateio's pixels and
mask, and pyFAI's own command-line tool on a TRA file through the installed start-up hook."""

import gzip
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import plateio
from support import need_module, need_program, run_python

fabio = need_module("fabio")
plugin = need_module("plateio.fabio_plugin")

# The synthetic powder (tools/writers/synth.cpp): a diamond-type cubic lattice, a = 5.431 A, in
# radiation of 0.7107 A, the first ten allowed reflections, the beam at the image's centre and the
# plate at 0.8 of the half-size (in pixels) from the sample.
WAVELENGTH = 0.7107e-10
CELL = 5.431e-10
REFLECTIONS = (3, 8, 11, 16, 19, 24, 27, 32, 35, 40)
PIXEL = 100e-6


def _ring_angles():
    return np.degrees(2 * np.arcsin(WAVELENGTH / (2 * CELL) * np.sqrt(REFLECTIONS)))


def _copy(source, directory, name, compress=None):
    path = os.path.join(directory, name)
    with open(source, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(compress(data) if compress else data)
    return path


def _parsed(strings, like):
    """fabio's header of strings read back into the types of plateio's header `like`."""
    return {key: type(like[key])(text) for key, text in strings.items()}


# (name, file, name of the copy fabio opens, compression, class fabio picks)
NAMED = [
    ("tra", "tra", "powder.tra", None, "TraImage"),
    ("tra upper case", "tra", "POWDER.TRA", None, "TraImage"),
    ("tra numbered", "tra2", "scan_0007.Tra", None, "TraImage"),
    ("tra gzip", "tra", "powder.tra.gz", gzip.compress, "TraImage"),
    ("xarea", "xarea_compressed", "coded.xa", None, "XareaImage"),
    ("xarea without extension", "xarea_plain", "plate", None, "XareaImage"),
    ("xarea named as tra", "xarea_small", "small.tra", None, "XareaImage"),
    ("xarea gzip", "xarea_wide", "wide.gz", gzip.compress, "XareaImage"),
]


@pytest.mark.parametrize("name,key,filename,compress,klass", NAMED, ids=[n[0] for n in NAMED])
def test_fabio_open_gives_plateio_open(exposures, tmp_path, name, key, filename, compress, klass):
    path = _copy(exposures[key], str(tmp_path), filename, compress)
    expected = plateio.open(path)
    image = fabio.open(path)
    assert type(image).__name__ == klass
    assert image.data.dtype == np.dtype(np.int32)
    np.testing.assert_array_equal(image.data, expected.data)
    np.testing.assert_array_equal(image.mask, expected.mask)
    assert all(isinstance(v, str) for v in image.header.values())
    assert list(_parsed(image.header, expected.header).items()) == list(expected.header.items())
    assert image.nframes == 1 and image.shape == expected.data.shape
    header_only = fabio.openheader(path)
    assert type(header_only).__name__ == klass
    assert header_only.header == {k: v for k, v in image.header.items()
                                  if k not in ("overflow_count", "off_plate_count")}
    assert header_only.data is None


def test_header_strings_hold_every_value(exposures):
    header = fabio.open(exposures["xarea_plain"]).header
    assert header["format"] == "xarea" and header["source"] == "plain.xa"
    assert [header[f"geometry_{i}"] for i in range(9)] == ["80.0", "0.25", "0.5", "0.7107", "250.0",
                                                           "1.5", "3.0", "1.0", "2.0"]
    assert (header["setting"], header["scale_value"], header["overflow_threshold"],
            header["saturation_value"]) == ("3", "0.85", "1048575", "1048576")
    tra = fabio.openheader(exposures["tra"]).header
    # Single-precision values of the file, in the digits that read back as the same double.
    assert (tra["geometry_3"], tra["saturation_value"]) == ("0.7106999754905701", "65535")
    assert not {"geometry_1", "geometry_6", "overload_count", "scale_value"} & tra.keys()


def test_a_tra_file_without_its_extension(exposures, tmp_path):
    """fabio tells a TRA file by its name only: without the extension fabio.open cannot identify
    it; plugin.open, which asks the library, can, and so can the class named explicitly."""
    path = _copy(exposures["tra"], str(tmp_path), "scan")
    with pytest.raises(IOError, match="could not identify"):
        fabio.open(path)
    expected = plateio.open(path).data
    for image in (plugin.open(path), fabio.factory("traimage").read(path)):
        assert isinstance(image, plugin.TraImage)
        np.testing.assert_array_equal(image.data, expected)
    with open(path, "rb") as stream:
        np.testing.assert_array_equal(plugin.open(stream).data, expected)
    with pytest.raises(IOError, match="a xarea file, not tra"):
        fabio.factory("traimage").read(exposures["xarea_small"])


def test_fabio_open_of_a_file_object(exposures):
    with open(exposures["xarea_compressed"], "rb") as stream:
        image = fabio.open(stream)
    assert isinstance(image, plugin.XareaImage)
    np.testing.assert_array_equal(image.data, plateio.open(exposures["xarea_compressed"]).data)


# ---- pyFAI ---------------------------------------------------------------------------------------

def test_pyfai_finds_the_rings_where_the_geometry_puts_them(exposures):
    pyfai_integrator = need_module("pyFAI.azimuthalIntegrator")
    pyfai_detectors = need_module("pyFAI.detectors")
    optimize = need_module("scipy.optimize")
    # A TRA plate: a fifth of its grid off the plate and its saturated grains are what the mask
    # takes out.
    exposure = plateio.open(exposures["tra"])
    height, width = exposure.data.shape
    detector = pyfai_detectors.Detector(pixel1=PIXEL, pixel2=PIXEL, max_shape=(height, width))
    integrator = pyfai_integrator.AzimuthalIntegrator(
        dist=0.8 * min(height, width) / 2 * PIXEL, poni1=height / 2 * PIXEL,
        poni2=width / 2 * PIXEL, detector=detector, wavelength=WAVELENGTH)
    result = integrator.integrate1d(exposure.data, 3000, unit="2th_deg", mask=exposure.mask,
                                    correctSolidAngle=False, method=("full", "histogram", "cython"))
    angle, intensity = result.radial, result.intensity

    def peak(x, height_, centre, width_, offset, slope):
        return height_ * np.exp(-0.5 * ((x - centre) / width_) ** 2) + offset + slope * (x - centre)

    for predicted in _ring_angles():
        # The strongest bin near the ring, then a Gaussian on a sloping background around it.
        near = np.flatnonzero(np.abs(angle - predicted) < 0.6)
        top = near[np.argmax(intensity[near])]
        around = np.flatnonzero(np.abs(angle - angle[top]) < 0.5)
        guess = (intensity[top] - intensity[around].min(), angle[top], 0.1,
                 intensity[around].min(), 0.0)
        fitted, _ = optimize.curve_fit(peak, angle[around], intensity[around], p0=guess)
        assert abs(fitted[1] - predicted) < 0.01, f"ring at {fitted[1]:.4f} deg, not {predicted:.4f}"
        assert fitted[0] > 10 * np.sqrt(abs(fitted[3])), "a ring well above the noise"


def _installed_site(build_dir, python_install_dir, directory):
    """The build installed into a prefix, and a Python user base whose site directory is the
    installed one: Python processes it at start-up as it does /usr/local's (its .pth files
    included), without the install touching the system."""
    prefix = os.path.join(directory, "prefix")
    done = subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    site = os.path.join(prefix, python_install_dir)
    assert os.path.isfile(os.path.join(site, "plateio-fabio.pth"))
    user_base = os.path.join(directory, "user")
    version = f"python{sys.version_info.major}.{sys.version_info.minor}"
    os.makedirs(os.path.join(user_base, "lib", version))
    os.symlink(site, os.path.join(user_base, "lib", version, "site-packages"))
    return user_base


def test_pyfai_integrate_opens_a_tra_file(exposures, tmp_path, build_dir, python_install_dir):
    program = need_program("pyFAI-integrate")
    need_module("pyFAI")
    user_base = _installed_site(build_dir, python_install_dir, str(tmp_path))
    path = _copy(exposures["tra"], str(tmp_path), "powder.tra")
    config = tmp_path / "integrate.json"
    config.write_text(textwrap.dedent(f"""\
        {{"version": 3, "application": "pyfai-integrate",
          "dist": {480 * PIXEL}, "poni1": {600 * PIXEL}, "poni2": {600 * PIXEL},
          "rot1": 0, "rot2": 0, "rot3": 0, "wavelength": {WAVELENGTH},
          "detector": "Detector",
          "detector_config": {{"pixel1": {PIXEL}, "pixel2": {PIXEL}, "max_shape": [1200, 1200]}},
          "nbpt_rad": 2000, "unit": "2th_deg", "do_solid_angle": false,
          "do_dummy": true, "val_dummy": {plateio.PIXEL_OVERFLOW},
          "method": ["full", "histogram", "cython"]}}
        """))
    output = tmp_path / "powder.dat"
    # Only the environment differs from a user's: no PYTHONPATH, the site directory as user site.
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env.update(PYTHONUSERBASE=user_base, QT_QPA_PLATFORM="offscreen")
    command = [program, "--no-gui", "-j", str(config), "-o", str(output), path]
    done = subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    profile = np.loadtxt(output)
    strongest = profile[np.argmax(profile[:, 1]), 0]
    assert abs(strongest - _ring_angles()[0]) < 0.1, f"strongest ring at {strongest} deg"
    # The hook is what makes the difference: without the site directory fabio cannot tell the file.
    env.pop("PYTHONUSERBASE")
    done = subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp_path)
    assert done.returncode != 0 and "could not identify" in done.stderr
    # A process that never imports fabio loads neither plateio nor NumPy on the hook's account.
    env["PYTHONUSERBASE"] = user_base
    done = run_python("import sys; print(sorted({'plateio', 'numpy', 'fabio'} & set(sys.modules)))",
                      env)
    assert done.returncode == 0 and done.stdout == "[]\n", done.stdout + done.stderr
