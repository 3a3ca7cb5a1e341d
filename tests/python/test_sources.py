"""What open(), read_header() and detect_format() take besides a path: the bytes of a file, binary
file objects (seekable or not), and files compressed with gzip, bzip2 or xz, recognised by their
content -- each read in memory (plateio_read_memory), never written beside the data, within the
caps on what is read into memory."""

import bz2
import gzip
import io
import lzma
import os
import pathlib
import struct
import threading
import time
import tracemalloc

import numpy as np
import pytest

import plateio


# The fastest settings: the tests are about reading, and the files are megabytes.
def _gzip(data):
    return gzip.compress(data, compresslevel=1)


def _bzip2(data):
    return bz2.compress(data, compresslevel=1)


def _xz(data):
    return lzma.compress(data, preset=0)


COMPRESSORS = {"gz": _gzip, "bz2": _bzip2, "xz": _xz}


def _content(path):
    with open(path, "rb") as f:
        return f.read()


def _written(directory, name, data):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def _pipe(data):
    """The read end of a pipe (not seekable) that a thread fills with `data`."""
    read_end, write_end = os.pipe()

    def feed():
        with os.fdopen(write_end, "wb") as f:
            f.write(data)

    threading.Thread(target=feed, daemon=True).start()
    return os.fdopen(read_end, "rb")


def _named_pipe(data, directory):
    """A named pipe that a thread fills with `data` once a reader opens it."""
    path = os.path.join(directory, "exposure.pipe")
    os.mkfifo(path)

    def feed():
        with open(path, "wb") as f:
            f.write(data)

    threading.Thread(target=feed, daemon=True).start()
    return path


# (name, the source made from (path, directory), the path the exposure reports: "same" for the path
# itself, "name" for the made file's name, None for none)
SOURCES = [
    ("pathlib", lambda p, d: pathlib.Path(p), "same"),
    ("bytes", lambda p, d: _content(p), None),
    ("memoryview", lambda p, d: memoryview(_content(p)), None),
    ("file object", lambda p, d: open(p, "rb"), "same"),
    ("BytesIO after a prefix", lambda p, d: _seeked(b"not part of it" + _content(p), 14), None),
    ("pipe", lambda p, d: _pipe(_content(p)), None),
    ("named pipe", lambda p, d: _named_pipe(_content(p), d), "name"),
    ("gzip path", lambda p, d: _written(d, "e.gz", _gzip(_content(p))), "name"),
    ("bzip2 path", lambda p, d: _written(d, "e.bz2", _bzip2(_content(p))), "name"),
    ("xz path", lambda p, d: _written(d, "e.xz", _xz(_content(p))), "name"),
    ("gzip without its extension", lambda p, d: _written(d, "plain", _gzip(_content(p))),
     "name"),
    ("gzip of two members", lambda p, d: _written(
        d, "two.gz", _gzip(_content(p)[:700]) + _gzip(_content(p)[700:])), "name"),
    ("xz bytes", lambda p, d: _xz(_content(p)), None),
    ("bzip2 file object", lambda p, d: io.BytesIO(_bzip2(_content(p))), None),
    ("gzip with bytes behind the exposure", lambda p, d: _gzip(_content(p) + b"U" * 300), None),
]


def _seeked(data, position):
    stream = io.BytesIO(data)
    stream.seek(position)
    return stream


@pytest.mark.parametrize("family", ["tra", "xarea_compressed"])
@pytest.mark.parametrize("name,make,reported", SOURCES, ids=[s[0] for s in SOURCES])
def test_every_source_gives_the_files_exposure(exposures, tmp_path, family, name, make,
                                               reported):
    path = exposures[family]
    expected = plateio.open(path)
    source = make(path, str(tmp_path))
    exposure = plateio.open(source)
    np.testing.assert_array_equal(exposure.data, expected.data)
    np.testing.assert_array_equal(exposure.mask, expected.mask)
    assert exposure.format == expected.format
    if reported == "same":
        assert exposure.path == path
    elif reported == "name":
        assert exposure.path == os.fsdecode(getattr(source, "name", source))
    else:
        assert exposure.path is None
    named = {k: v for k, v in expected.header.items() if k != "source"}
    if exposure.path is not None:
        named = {"format": named.pop("format"), "source": os.path.basename(exposure.path), **named}
    assert list(exposure.header.items()) == list(named.items())
    if hasattr(source, "close"):
        source.close()


@pytest.mark.parametrize("kind", ["gz", "bz2", "xz"])
def test_read_header_and_detect_format_take_compressed_files(exposures, tmp_path, kind):
    path = _written(str(tmp_path), "exposure." + kind,
                    COMPRESSORS[kind](_content(exposures["xarea_plain"])))
    assert plateio.detect_format(path) == "xarea"
    header = plateio.read_header(path)
    assert header == dict(plateio.read_header(exposures["xarea_plain"]), source="exposure." + kind)


def test_nothing_is_written_beside_the_data_and_nothing_is_left_open(exposures, tmp_path):
    path = _written(str(tmp_path), "exposure.tra.xz", _xz(_content(exposures["tra"])))
    before = sorted(os.listdir(tmp_path))
    descriptors = len(os.listdir("/proc/self/fd"))
    for _ in range(5):
        plateio.open(path)
        plateio.read_header(_content(exposures["xarea_small"]))
        with pytest.raises(plateio.ReadError):
            plateio.open(b"\x1f\x8b not really gzip")
    assert sorted(os.listdir(tmp_path)) == before
    assert len(os.listdir("/proc/self/fd")) == descriptors


def test_without_memfd_a_temporary_file_serves(exposures, tmp_path, monkeypatch):
    """Where the system has no anonymous memory files, the block uncompress hands readXImage
    goes through a temporary file in the temporary directory, gone afterwards."""
    header, block = plateio.read_container(exposures["xarea_compressed"])
    expected = plateio.uncompress(header, block)
    monkeypatch.delattr(os, "memfd_create")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setenv("TMPDIR", str(scratch))
    monkeypatch.setattr("tempfile.tempdir", None)
    np.testing.assert_array_equal(plateio.uncompress(header, block), expected)
    assert list(scratch.iterdir()) == []


@pytest.mark.parametrize("name,data,reason", [
    ("truncated gzip", _gzip(b"x" * 5000)[:-30], "cannot decompress it (gzip)"),
    ("damaged xz", b"\xfd7zXZ\x00" + b"\x00" * 40, "cannot decompress it (xz)"),
    ("gzip of nothing known", _gzip(b"x" * 5000), "not a TRA or X-Area file"),
    ("no bytes at all", b"", "at 0 bytes too short"),
])
def test_bad_streams_raise_read_error(name, data, reason):
    with pytest.raises(plateio.ReadError) as raised:
        plateio.open(data)
    assert reason in str(raised.value)


def test_sources_of_the_wrong_kind(exposures):
    with open(exposures["tra"], "r", encoding="latin-1") as text:
        with pytest.raises(TypeError, match="binary mode"):
            plateio.open(text)
    for wrong in (42, 4.2, None, ["powder.tra"]):
        with pytest.raises(TypeError, match="a source is a path"):
            plateio.open(wrong)
    # bytes are a file's content: a path given as bytes is pointed out rather than misread.
    with pytest.raises(TypeError, match="pass its path as str"):
        plateio.open(os.fsencode(exposures["tra"]))


def _huge_entry(path):
    """A small X-Area file whose pixel entry claims 2 GiB: its first bytes promise that much."""
    data = bytearray(_content(path))
    struct.pack_into("<i", data, data.index(b"XArea_Image\0") + 24, 2**31 - 1)
    return bytes(data)


def _bomb(head):
    """`head`, then 2 GiB of zeros, in 12 KB of bzip2: one short stream, repeated."""
    return bz2.compress(head) + bz2.compress(bytes(8 << 20), 9) * 256


# (case, the source, ceiling, call, what it gives)
BOMBS = [
    ("zeros", lambda e: _bomb(b""), None, plateio.open, "goes on past 2047 bytes, the most a TRA"),
    ("zeros header", lambda e: _bomb(b""), None, plateio.read_header, "goes on past 2047 bytes"),
    ("a device", lambda e: "/dev/zero", None, plateio.open, "goes on past 2047 bytes"),
    ("entry of 2 GiB", lambda e: _bomb(_huge_entry(e["xarea_small"])), 8 << 20, plateio.open,
     "past 8388608 bytes, the cap of plateio.MAX_DECOMPRESSED; the X-Area exposure it begins can "
     "need 2147484243"),
    ("entry of 2 GiB header", lambda e: _bomb(_huge_entry(e["xarea_small"])), None,
     plateio.read_header, "'width': 37, 'height': 23"),
    ("compressed input", lambda e: _xz(_content(e["xarea_compressed"])), 64 << 10, plateio.open,
     "past 65536 compressed bytes, the cap of plateio.MAX_DECOMPRESSED"),
    ("stream header", lambda e: io.BytesIO(_content(e["xarea_compressed"])), None,
     plateio.read_header, "'width': 640, 'height': 480"),
    ("ceiling too low", lambda e: _xz(b"x"), 100, plateio.open, "must be an int of at least 65536"),
]


@pytest.mark.parametrize("case,make,ceiling,call,gives", BOMBS, ids=[b[0] for b in BOMBS])
def test_bombs_and_endless_streams_stop_at_their_cap(exposures, monkeypatch, case, make, ceiling,
                                                     call, gives):
    source = make(exposures)
    monkeypatch.setattr(plateio, "MAX_DECOMPRESSED", ceiling or plateio.MAX_DECOMPRESSED)
    tracemalloc.start()
    start = time.monotonic()
    try:
        result = str(call(source))
    except (plateio.ReadError, ValueError) as error:
        result = str(error)
    seconds, peak = time.monotonic() - start, tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert gives in result
    assert seconds < 5 and peak < (ceiling or 0) + (8 << 20), (seconds, peak)
    assert getattr(source, "tell", lambda: 0)() <= (64 << 10) + 1, "read_header reads 64 KiB"
