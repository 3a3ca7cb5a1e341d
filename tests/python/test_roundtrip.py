"""Round trips: exposures written by the project's writers, read through the package, equal to what
the C interface gives for the same files."""

import math
import os
import shutil
import struct

import numpy as np
import pytest

import plateio
from conftest import TRA_GEOMETRY, XAREA_GEOMETRY

FILES = [
    # name, format
    ("tra", "tra"),
    ("tra2", "tra"),
    ("xarea_plain", "xarea"),
    ("xarea_compressed", "xarea"),
    ("xarea_wide", "xarea"),
    ("xarea_small", "xarea"),
    ("xarea_renamed", "xarea"),
]


@pytest.mark.parametrize("name,family", FILES)
def test_open_gives_the_c_interfaces_pixels(exposures, plateio_tool, name, family):
    path = exposures[name]
    exposure = plateio.open(path)
    reference = plateio_tool.pixels(path)
    assert exposure.format == family
    assert exposure.header["format"] == family
    assert exposure.path == path
    assert exposure.data.dtype == np.dtype(np.int32)
    assert exposure.data.shape == reference.shape
    np.testing.assert_array_equal(exposure.data, reference)


# The keys that do not come from the C record image_info.
DESCRIBED = {"format", "source", "width", "height", "compressed", "saturation_value", "overflow_value"}


@pytest.mark.parametrize("name,family", FILES)
def test_header_is_the_c_interfaces_image_info(exposures, plateio_tool, name, family):
    path = exposures[name]
    header, info = plateio.read_header(path), plateio_tool.info(path)["image_info"]
    assert (header["format"], header["source"]) == (family, os.path.basename(path))
    # The record's values where the family carries them; its markers (-1, NaN) are absent keys.
    record = {f"geometry_{i}": v for i, v in enumerate(info["geometry"])
              if v is not None and (family, i) != ("tra", 1)}
    if family == "xarea":
        record.update({k: info[k] for k in ("overload_count", "setting", "overflow_threshold",
                                            "scale_value")})
    assert {k: v for k, v in header.items() if k not in DESCRIBED} == record
    opened = plateio.open(path).header
    assert {k: v for k, v in opened.items() if k not in ("overflow_count", "off_plate_count")} == header


# (file, the header read_header gives, in its order; open() adds the two counts after
# overflow_value)
HEADERS = [
    ("tra", {"format": "tra", "source": "powder.tra", "width": 1200, "height": 1200,
             "compressed": 0, "saturation_value": 65535, "overflow_value": 256001,
             **{f"geometry_{i}": struct.unpack("<f", struct.pack("<f", v))[0]
                for i, v in sorted(TRA_GEOMETRY.items())}}),
    ("xarea_wide", {"format": "xarea", "source": "wide.xa", "width": 1000, "height": 300,
                    "compressed": 1, "overflow_threshold": 40000, "saturation_value": 40001,
                    "overflow_value": 256001, "overload_count": "counted",
                    **{f"geometry_{i}": 0.0 for i in range(9)}, "setting": 0, "scale_value": 1.0}),
]


@pytest.mark.parametrize("name,expected", HEADERS, ids=[h[0] for h in HEADERS])
def test_header_keys_types_and_order(exposures, name, expected):
    path = exposures[name]
    exposure = plateio.open(path)
    data = exposure.data
    overflowed = int(np.count_nonzero(data == plateio.PIXEL_OVERFLOW))
    if "overload_count" in expected:
        expected = dict(expected, overload_count=overflowed)
    header = list(plateio.read_header(path).items())
    assert [(k, v, type(v)) for k, v in header] == [(k, v, type(v)) for k, v in expected.items()]
    recorded = data.size
    if name == "tra":  # what the row table records
        with open(path, "rb") as f:
            recorded = 4 * sum(t >> 1 for t in struct.unpack_from("<600H", f.read(1536), 336))
    at = list(expected).index("overflow_value") + 1
    counts = [("overflow_count", overflowed), ("off_plate_count", data.size - recorded)]
    assert list(exposure.header.items()) == header[:at] + counts + header[at:]
    # Grains saturate, and no unmarked pixel is at or above the saturation value.
    assert overflowed > 0 and data[data != 256001].max() < expected["saturation_value"]


def test_detect_format(exposures):
    assert plateio.detect_format(exposures["tra"]) == "tra"
    assert plateio.detect_format(exposures["xarea_plain"]) == "xarea"
    assert plateio.detect_format(exposures["xarea_renamed"]) == "xarea"


def test_paths_may_be_pathlike_or_bytes(exposures):
    import os
    import pathlib
    reference = plateio.read_tra(exposures["tra"])
    np.testing.assert_array_equal(plateio.open(pathlib.Path(exposures["tra"])).data, reference)
    np.testing.assert_array_equal(plateio.read_tra(os.fsencode(exposures["tra"])), reference)


def test_read_tra_marks_saturation_only_when_asked(exposures):
    marked = plateio.read_tra(exposures["tra"])
    kept = plateio.read_tra(exposures["tra"], mark_saturated=False)
    assert marked.shape == kept.shape == (1200, 1200)
    saturated = kept == 65535
    assert saturated.any(), "the synthetic plate has saturated grains"
    np.testing.assert_array_equal(marked == plateio.PIXEL_OVERFLOW, saturated)
    np.testing.assert_array_equal(marked[~saturated], kept[~saturated])
    # Outside the round plate there are no pixels: the corners are 0.
    assert marked[0, 0] == marked[-1, -1] == 0


def test_read_xi_image_and_params(exposures, plateio_tool):
    path = exposures["xarea_plain"]
    image, params = plateio.read_xi(path)
    np.testing.assert_array_equal(image.data, plateio_tool.pixels(path))
    assert (image.width, image.height, image.pixel_count) == (640, 480, 640 * 480)
    assert image.data.shape == (480, 640)
    assert image.overflow_threshold == 1048575
    assert image.overflow_count == np.count_nonzero(image.data == plateio.PIXEL_OVERFLOW) > 0
    assert image.scale_value == 0.85
    assert (image.geometry0, image.geometry1) == (80.0, 0.25)
    # geometry2 unset by default: taken from the file; the other five always are.
    assert params == {"geometry2": 0.5, "geometry4": 250.0, "geometry0": 80.0, "geometry1": 0.25,
                      "geometry3": 0.7107, "geometry5": 1.5}


def test_read_xi_keeps_a_geometry2_of_the_callers(exposures):
    mine = {"geometry2": 0.125, "geometry4": -1.0}
    _, params = plateio.read_xi(exposures["xarea_plain"], mine)
    assert params["geometry2"] == 0.125
    assert params["geometry4"] == 250.0
    assert mine == {"geometry2": 0.125, "geometry4": -1.0}, "the caller's dict is not changed"
    _, params = plateio.read_xi(exposures["xarea_plain"], {"geometry2": plateio.UNSET})
    assert params["geometry2"] == 0.5
    _, params = plateio.read_xi(exposures["xarea_plain"], {"geometry2": math.nan})
    assert params["geometry2"] == 0.5
    with pytest.raises(ValueError, match="geometry9"):
        plateio.read_xi(exposures["xarea_plain"], {"geometry9": 1.0})


@pytest.mark.parametrize("name", ["xarea_plain", "xarea_compressed", "xarea_wide", "xarea_small"])
def test_container_and_uncompress(exposures, name):
    path = exposures[name]
    header, block = plateio.read_container(path)
    assert isinstance(header, bytes) and len(header) == 412
    compression, width, height = struct.unpack_from("<3i", header, 16)
    image, _ = plateio.read_xi(path)
    assert (width, height) == (image.width, image.height)
    assert struct.unpack_from("<d", header, 200)[0] == image.geometry0
    assert struct.unpack_from("<i", header, 332)[0] == image.overflow_threshold
    assert block.dtype == np.dtype(np.uint8) and block.ndim == 1
    if compression == 1:
        delta16, delta32 = struct.unpack_from("<2i", header, 348)
        assert block.size == width * height + 2 * delta16 + 4 * delta32
    else:
        assert block.size == 4 * width * height
        np.testing.assert_array_equal(block.view("<i4").reshape(height, width),
                                      plateio.uncompress(header, block))
    pixels = plateio.uncompress(header, block)
    assert pixels.dtype == np.dtype(np.int32) and pixels.shape == (height, width)
    # read_xi's image is these pixels with those above the threshold marked.
    over = pixels > image.overflow_threshold
    np.testing.assert_array_equal(image.data[~over], pixels[~over])
    assert (image.data[over] == plateio.PIXEL_OVERFLOW).all()
    assert over.sum() == image.overflow_count
    # The block passed in is left as it was.
    header2, block2 = plateio.read_container(path)
    np.testing.assert_array_equal(block, block2)


def _container(record, entry, filler):
    """An X-Area container: `filler` entries of another name, then the header and pixel entries."""
    entries = [(b"Other", b"")] * filler + [(b"XArea_ImgHdr", record), (b"XArea_Image", entry)]
    table, offset = b"", 104 + 40 * len(entries)
    for name, data in entries:
        table += name.ljust(24, b"\0") + struct.pack("<i8xi", len(data), offset)
        offset += len(data)
    head = b"STOE_XFILE\0".ljust(72, b"\0") + struct.pack("<i", len(entries)).ljust(32, b"\0")
    return head + table + b"".join(data for _, data in entries)


@pytest.mark.parametrize("filler", [0, 1600])
def test_read_container_hands_out_the_entry_and_nothing_past_it(exposures, tmp_path, filler):
    """Ten codes where the header calls for 40 pixels and more values (with filler, behind more
    entries than a probe looks at): the block is the ten bytes; nothing is decoded past them."""
    record = bytearray(plateio.read_container(exposures["xarea_compressed"])[0])
    struct.pack_into("<3i", record, 16, 1, 40, 1)
    struct.pack_into("<2i", record, 348, 15, 0)
    path = tmp_path / "ten codes.xa"
    path.write_bytes(_container(bytes(record), bytes([128] * 10), filler))
    block = plateio.read_container(path)[1]
    assert block.tobytes() == bytes([128] * 10)
    np.testing.assert_array_equal(plateio.uncompress(bytes(record), block).ravel(),
                                  list(range(1, 11)) + [0] * 30)


def test_plain_and_coded_files_hold_the_same_pixels(exposures):
    plain = plateio.open(exposures["xarea_plain"]).data
    coded = plateio.open(exposures["xarea_compressed"]).data
    np.testing.assert_array_equal(plain, coded)


def test_uncompress_takes_any_buffer(exposures):
    header, block = plateio.read_container(exposures["xarea_compressed"])
    expected = plateio.uncompress(header, block)
    np.testing.assert_array_equal(plateio.uncompress(bytearray(header), bytes(block)), expected)
    np.testing.assert_array_equal(plateio.uncompress(header, memoryview(block.tobytes())), expected)
    with pytest.raises(ValueError, match="412"):
        plateio.uncompress(header[:400], block)


@pytest.mark.parametrize("width, entry, pixels", [
    (20, bytes([128] * 10), list(range(1, 11)) + [0] * 10),  # pixels past the last code are 0
    (4, b"", [0, 0, 0, 0]),                                  # an empty entry
    (3, bytes([128, 128, 126]), [1, 2, 1]),                 # a whole one, no report
])
def test_uncompress_decodes_nothing_behind_the_entry(exposures, capfd, width, entry, pixels):
    header, _ = plateio.read_container(exposures["xarea_compressed"])
    record = bytearray(header)
    struct.pack_into("<3i", record, 16, 1, width, 1)
    struct.pack_into("<2i", record, 348, 0, 0)
    capfd.readouterr()
    decoded = plateio.uncompress(bytes(record), entry)
    np.testing.assert_array_equal(decoded.ravel(), pixels)
    report = "" if len(entry) == width else "0 0 0 0\n uncompressImage(): corrupt imagedata "
    assert capfd.readouterr().out == report


def test_uncompress_refuses_a_short_plain_block(exposures):
    header, block = plateio.read_container(exposures["xarea_plain"])
    with pytest.raises(ValueError, match="needs"):
        plateio.uncompress(header, block[:-4])


def test_uncompress_reports_a_damaged_code_and_decodes_it_all_the_same(exposures, capfd):
    header, block = plateio.read_container(exposures["xarea_compressed"])
    capfd.readouterr()
    record = bytearray(header)
    delta16, delta32 = struct.unpack_from("<2i", record, 348)
    # One 32-bit value more than the codes call for: the sections stay where they are.
    struct.pack_into("<i", record, 352, delta32 + 1)
    pixels = plateio.uncompress(bytes(record), block)
    out = capfd.readouterr().out
    assert out == (f"{delta32} {delta32 + 1} {delta16} {delta16}\n"
                   " uncompressImage(): corrupt imagedata ")
    np.testing.assert_array_equal(pixels, plateio.uncompress(header, block))


def test_convert_8_to_double_decodes_the_tra_header(exposures):
    with open(exposures["tra"], "rb") as f:
        head = f.read(336)
    header = plateio.read_header(exposures["tra"])
    for offset, index in ((116, 4), (140, 2), (178, 0), (186, 3)):
        assert plateio.convert_8_to_double(head[offset:offset + 8]) == header[f"geometry_{index}"]
    # The halves are swapped, the IEEE single read and multiplied by 0.25.
    assert plateio.convert_8_to_double(bytes([0x80, 0x40, 0, 0, 0, 0, 0, 0])) == 1.0
    assert plateio.convert_8_to_double(np.frombuffer(bytes([0x20, 0xC1, 0, 0, 9, 9, 9, 9]),
                                                     dtype=np.uint8)) == -2.5
    with pytest.raises(ValueError, match="8 bytes"):
        plateio.convert_8_to_double(b"\x80\x40\0\0")
    with pytest.raises(TypeError):
        plateio.convert_8_to_double(8)


def test_convert_4_to_int_and_its_trace(capfd):
    capfd.readouterr()
    assert plateio.convert_4_to_int(bytes([0x01, 0x02, 0x03, 0xF4])) == \
        struct.unpack("<i", bytes([0x03, 0xF4, 0x01, 0x02]))[0]
    assert capfd.readouterr().out == " 1 2 3 f4"
    # b0 b1 b2 b3 are the integer whose little-endian bytes are b2 b3 b0 b1.
    assert plateio.convert_4_to_int(bytes([0, 0, 0xFF, 0xFF])) == 0xFFFF
    assert plateio.convert_4_to_int(bytes([0xFE, 0xFF, 0xFF, 0xFF])) == -65537
    assert capfd.readouterr().out == " 0 0 ff ff fe ff ff ff"


# ---- read_az_tra --------------------------------------------------------------------------------

def test_read_az_tra_through_the_identity_map(exposures):
    grid = plateio.read_tra(exposures["tra"])
    cells = np.full(1200 * 1200, -7, dtype=np.int32)
    count = plateio.read_az_tra(exposures["tra"], np.arange(1200 * 1200, dtype=np.int32), cells)
    np.testing.assert_array_equal(cells.reshape(1200, 1200), grid)
    assert count == np.count_nonzero(grid == plateio.PIXEL_OVERFLOW) > 0


def test_read_az_tra_maps_and_skips(exposures):
    grid = plateio.read_tra(exposures["tra"]).ravel()
    n = grid.size
    # Reversed order, every third entry pointing outside the cells (skipped), int64 map accepted.
    index_map = np.arange(n - 1, -1, -1, dtype=np.int64)
    index_map[::3] = n + 5
    cells = np.full(n, -7, dtype=np.int32)
    count = plateio.read_az_tra(exposures["tra"], index_map, cells)
    kept = index_map != n + 5
    expected = np.full(n, -7, dtype=np.int32)
    expected[index_map[kept]] = grid[kept]
    np.testing.assert_array_equal(cells, expected)
    assert count == np.count_nonzero(grid[kept] == plateio.PIXEL_OVERFLOW)


def test_read_az_tra_later_pixels_overwrite_earlier(exposures):
    grid = plateio.read_tra(exposures["tra"]).ravel()
    cells = np.zeros(4, dtype=np.int32)
    index_map = np.arange(grid.size, dtype=np.int32) % 4
    plateio.read_az_tra(exposures["tra"], index_map, cells)
    np.testing.assert_array_equal(cells, grid[-4:])


def test_read_az_tra_binned(exposures):
    grid = plateio.read_tra(exposures["tra"]).astype(np.int64)
    blocks = grid.reshape(600, 2, 600, 2)
    binned = np.minimum(blocks.sum(axis=(1, 3)), 9999999)
    binned[(blocks == plateio.PIXEL_OVERFLOW).any(axis=(1, 3))] = plateio.PIXEL_OVERFLOW
    cells = np.zeros(600 * 600, dtype=np.int32)
    count = plateio.read_az_tra(exposures["tra"], np.arange(600 * 600), cells, grid_mode=300)
    np.testing.assert_array_equal(cells.reshape(600, 600), binned)
    assert count == np.count_nonzero(binned == plateio.PIXEL_OVERFLOW)
    with pytest.raises(ValueError, match="360000"):
        plateio.read_az_tra(exposures["tra"], np.arange(1000), cells, grid_mode=300)


def test_read_az_tra_wants_a_writable_int32_target(exposures):
    index_map = np.arange(1200 * 1200)
    for cells in (np.zeros(10, dtype=np.int64), [0] * 10, np.zeros((10, 2), dtype=np.int32)[:, 0]):
        with pytest.raises(TypeError, match="cells"):
            plateio.read_az_tra(exposures["tra"], index_map, cells)
    with pytest.raises(ValueError, match="1440000"):
        plateio.read_az_tra(exposures["tra"], index_map[:-1], np.zeros(10, dtype=np.int32))


# ---- open(..., out=) -------------------------------------------------------------------------------

def test_a_series_read_into_one_array(exposures, plateio_tool):
    out = np.full((1200, 1200), -5, dtype=np.int32)
    for name in ("tra", "tra2", "tra"):
        exposure = plateio.open(exposures[name], out=out)
        assert exposure.data is out
        np.testing.assert_array_equal(out, plateio_tool.pixels(exposures[name]))
    coded = np.empty((480, 640), dtype=np.int32)
    exposure = plateio.open(exposures["xarea_compressed"], out=coded)
    assert exposure.data is coded and exposure.overflow_count == exposure.header["overload_count"]
    np.testing.assert_array_equal(coded, plateio.open(exposures["xarea_plain"]).data)


@pytest.mark.parametrize("replacement,now", [("tra", "1200 x 1200"), ("xarea_wide", "1000 x 300")])
def test_a_file_replaced_between_header_and_pixels(exposures, tmp_path, monkeypatch, replacement,
                                                   now):
    """No `out` was given, so none is blamed: the file changed (larger, then smaller)."""
    path = str(tmp_path / "changing.xa")
    shutil.copy(exposures["xarea_plain"], path)
    probe = plateio._exposure._Handle.probe
    monkeypatch.setattr(plateio._exposure._Handle, "probe", lambda handle: (
        probe(handle), shutil.copy(exposures[replacement], path))[0])
    with pytest.raises(plateio.ReadError) as raised:
        plateio.open(path)
    assert str(raised.value) == (f"{path}: it changed while it was read: 640 x 480 pixels when "
                                 f"its header was read, {now} when its pixels were")


@pytest.mark.parametrize("name,out,error,match", [
    ("int64", np.zeros((480, 640), dtype=np.int64), TypeError, "int32"),
    ("flat", np.zeros(480 * 640, dtype=np.int32), TypeError, "shape"),
    ("not contiguous", np.zeros((480, 1280), dtype=np.int32)[:, ::2], TypeError, "contiguous"),
    ("read-only", np.zeros((480, 640), dtype=np.int32).copy().view(), TypeError, "read-only"),
    ("not an array", [[0] * 640] * 480, TypeError, "NumPy array"),
    ("too small", np.full((480, 639), 7, dtype=np.int32), ValueError, r"\(480, 640\)"),
])
def test_out_of_the_wrong_kind_is_refused_untouched(exposures, name, out, error, match):
    if name == "read-only":
        out.flags.writeable = False
    before = np.array(out, copy=True)
    with pytest.raises(error, match=match):
        plateio.open(exposures["xarea_plain"], out=out)
    np.testing.assert_array_equal(out, before)


def test_out_of_the_right_size_but_another_shape(exposures):
    out = np.zeros((640, 480), dtype=np.int32)
    with pytest.raises(ValueError, match=r"out has shape \(640, 480\), the exposure is \(480, 640\)"):
        plateio.open(exposures["xarea_plain"], out=out)


# ---- Exposure.mask -------------------------------------------------------------------------------

def _off_the_plate(path):
    """The grid pixels a TRA file records no value for, from its row table: row i (and, mirrored,
    row 1199 - i) holds columns 600 - w .. 600 + w - 1, w = t_i >> 1."""
    with open(path, "rb") as f:
        table = np.frombuffer(f.read(1536)[336:], dtype="<u2") >> 1
    half = np.concatenate([table, table[::-1]]).astype(np.int64)[:, np.newaxis]
    columns = np.arange(1200)[np.newaxis, :]
    return (columns < 600 - half) | (columns >= 600 + half)


@pytest.mark.parametrize("name", ["tra", "tra2", "xarea_plain", "xarea_wide"])
def test_the_mask_marks_pixels_without_a_measurement(exposures, name):
    exposure = plateio.open(exposures[name])
    mask = exposure.mask
    assert mask.dtype == np.dtype(np.uint8) and mask.shape == exposure.data.shape
    assert set(np.unique(mask)) <= {0, 1}
    overflowed = exposure.data == plateio.PIXEL_OVERFLOW
    assert overflowed.sum() == exposure.overflow_count > 0
    if exposure.format == "tra":
        off = _off_the_plate(exposures[name])
        # The round plate leaves about 23 % of the grid without pixels.
        assert 0.2 < off.mean() < 0.25
        assert (exposure.data[off] == 0).all()
        np.testing.assert_array_equal(mask, off | overflowed)
    else:
        np.testing.assert_array_equal(mask, overflowed)
