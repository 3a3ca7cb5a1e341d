"""Every output of the plateio tool carries the same header (docs/header.md), read back by the field's
own readers: PIL for TIFF and PNG, NumPy, fabio and pycbf for CBF, h5py for NeXus, json for the rest;
and NeXus's saturation_value is never below a real count."""

import json
import os

import numpy as np
import pytest

from conftest import TRA_GEOMETRY, XAREA_GEOMETRY
from support import need_module

fabio = need_module("fabio")
h5py = need_module("h5py")
pycbf = need_module("pycbf")
Image = need_module("PIL.Image")


def _geometry(values):
    return [a for index, value in values.items() for a in ("--geometry", f"{index}={value}")]


@pytest.fixture(scope="module", params=["tra", "xarea"])
def demo(request, plateio_tool):
    """The demo's two exposures (Makefile, demo)."""
    if request.param == "tra":
        return plateio_tool.synth("demo.tra", "tra", "--seed", "1", *_geometry(TRA_GEOMETRY))
    return plateio_tool.synth("demo_xarea.xa", "xarea", "--compressed", "--size", "1000x1000", "--seed", "2",
                              *_geometry(XAREA_GEOMETRY), "--setting", "1", "--scale-value", "0.85")


def _typed(text, like):
    return type(like)(text)


def _mini_header(text, reference):
    lines = [line[2:].split(" ", 1) for line in text.splitlines() if line.startswith("# ")]
    return {key: _typed(value.strip(), reference[key]) if key in reference else value for key, value in lines}


def _readers(tool, path, out):
    """Each output's header, as its own reader gives it, and the pixels and mask read beside."""
    stem = os.path.join(out, "x")
    tool.run("convert", "--to", "tiff", "-o", stem + ".tif", path)
    tool.run("convert", "--to", "npy", "--header", "--mask", "-o", stem + ".npy", path)
    tool.run("convert", "--to", "cbf", "-o", stem + ".cbf", path)
    tool.run("convert", "--to", "h5", "-o", stem + ".h5", path)
    tool.run("preview", "--header", "-o", os.path.join(out, "p.png"), path)
    with Image.open(stem + ".tif") as tiff:
        yield "tiff", json.loads(tiff.tag_v2[270])["header"]
    with Image.open(os.path.join(out, "p.png")) as png:
        assert png.mode == "RGB"
    with open(os.path.join(out, "p.json")) as f:
        yield "png sidecar", json.load(f)["header"]
    with open(stem + ".json") as f:
        yield "npy sidecar", json.load(f)["header"]
    yield "fabio cbf", fabio.open(stem + ".cbf").header["_array_data.header_contents"]
    handle = pycbf.cbf_handle_struct()
    handle.read_widefile((stem + ".cbf").encode(), pycbf.MSG_DIGEST)
    handle.find_category(b"array_data")
    handle.find_column(b"header_contents")
    value = handle.get_value()
    yield "pycbf cbf", value.decode() if isinstance(value, bytes) else value
    with h5py.File(stem + ".h5", "r") as f:
        detector = f["/entry/instrument/detector"]
        yield "h5py", {k: (v[()].decode() if isinstance(v[()], bytes) else v[()].item())
                       for k, v in detector["header"].items()}
        yield "h5py saturation_value", int(detector["saturation_value"][()])
        yield "h5py pixels", (f["/entry/data/data"][0], detector["pixel_mask"][()])
    yield "npy pixels", (np.load(stem + ".npy"), np.load(stem + ".mask.npy"))


def test_every_output_carries_the_same_header_and_no_real_count_reaches_saturation(
        demo, plateio_tool, tmp_path):
    [described] = json.loads(plateio_tool.run("info", "--json", demo))
    header = described["header"]
    assert header["source"] == os.path.basename(demo)
    assert "saturation_value" in header and all(v not in (-1, -1.0) for v in header.values())
    seen = set()
    for name, value in _readers(plateio_tool, demo, str(tmp_path)):
        seen.add(name)
        if name.endswith("cbf"):
            value = _mini_header(value, header)
        if name.endswith("pixels"):
            pixels, mask = value
            unmarked = pixels[mask == 0]
            assert unmarked.max() < header["saturation_value"], name
            assert np.all(pixels[(mask & 8) != 0] == header["overflow_value"]), name
            assert np.count_nonzero(mask & 8) == header["overflow_count"], name
            assert np.count_nonzero(mask & 1) == header["off_plate_count"], name
        elif name == "h5py saturation_value":
            assert value == header["saturation_value"]
        else:
            assert value == header, name
            assert {k: type(v) for k, v in value.items()} == {k: type(v) for k, v in header.items()}, name
    assert len(seen) == 9


def test_a_name_holding_the_binary_boundary_reads_back_in_fabio_and_pycbf(exposures, plateio_tool, tmp_path):
    source = tmp_path / "a--CIF-BINARY-FORMAT-SECTION--b.xa"
    source.write_bytes(open(exposures["xarea_small"], "rb").read())
    out = str(tmp_path / "named.cbf")
    plateio_tool.run("convert", "-o", out, str(source))
    expected = plateio_tool.pixels(exposures["xarea_small"])
    np.testing.assert_array_equal(fabio.open(out).data, expected)
    handle = pycbf.cbf_handle_struct()
    handle.read_widefile(out.encode(), pycbf.MSG_DIGEST)
    handle.find_category(b"array_data")
    handle.find_column(b"header_contents")
    value = handle.get_value()
    contents = value.decode() if isinstance(value, bytes) else value
    assert "# source a-\\x2dCIF-BINARY-FORMAT-SECTION-\\x2db.xa" in contents.splitlines()
