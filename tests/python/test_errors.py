"""Missing and damaged files: ReadError naming the path, and the library's own message on standard
output, in order with Python's."""

import errno
import os
import struct
import textwrap

import numpy as np
import pytest

import plateio
from support import damaged, run_python

TRA_MESSAGE = "# \x1b[0mERROR\x1b[0m READING {} returning 0\n"
TRA_SHORT_MESSAGE = "# \x1b[0mERROR\x1b[0m READING {}\n"
XI_MESSAGE = "# \x1b[31;1mERROR\x1b[0m READING {}\n"


@pytest.fixture()
def missing(tmp_path):
    return str(tmp_path / "no such exposure.tra")


# (reader, its call on a path, the library's message for a path it cannot open)
LIBRARY_READERS = [
    ("read_tra", lambda p: plateio.read_tra(p), TRA_MESSAGE),
    ("read_short_tra", lambda p: plateio.read_tra(p, mark_saturated=False), TRA_SHORT_MESSAGE),
    ("read_xi", lambda p: plateio.read_xi(p), XI_MESSAGE),
    ("read_az_tra", lambda p: plateio.read_az_tra(p, np.arange(1200 * 1200),
                                                  np.zeros(4, dtype=np.int32)), TRA_SHORT_MESSAGE),
    ("readXImage", lambda p: plateio.read_container(p), " readXImage(): unable to open file "),
]


@pytest.mark.parametrize("function,call,message", LIBRARY_READERS, ids=[r[0] for r in LIBRARY_READERS])
def test_missing_file_through_the_library(missing, capfd, function, call, message):
    capfd.readouterr()
    with pytest.raises(plateio.ReadError) as raised:
        call(missing)
    error = raised.value
    assert isinstance(error, OSError)
    assert error.filename == missing
    assert missing in str(error)
    assert function in str(error)
    assert error.errno == errno.ENOENT
    out = capfd.readouterr().out
    assert out == message.format(missing)


@pytest.mark.parametrize("call", [plateio.open, plateio.read_header, plateio.detect_format])
def test_missing_file_is_found_missing_before_the_library_is_asked(missing, capfd, call):
    capfd.readouterr()
    with pytest.raises(plateio.ReadError) as raised:
        call(missing)
    assert raised.value.filename == missing
    assert raised.value.errno == errno.ENOENT
    assert str(raised.value) == f"{missing}: {os.strerror(errno.ENOENT)}"
    # As with the plateio tool: detection fails, the library is never called, nothing is printed.
    assert capfd.readouterr().out == ""


def test_a_directory_is_not_an_exposure(tmp_path):
    with pytest.raises(plateio.ReadError) as raised:
        plateio.open(tmp_path)
    assert raised.value.errno == errno.EISDIR
    assert raised.value.filename == str(tmp_path)


def _truncate(by):
    return lambda data: data[:-by]


def _set_magic(data):
    data[0:4] = b"XXXX"
    return data


def _toc_past_the_end(data):
    # The file header's entry count, made too large for the file.
    struct.pack_into("<i", data, 72, 10 ** 6)
    return data


def test_damaged_tra(exposures, tmp_path, capfd):
    path = damaged(exposures["tra"], tmp_path, "short.tra", _truncate(1000))
    # open(): detection sees the row table call for more bytes than the file has.
    with pytest.raises(plateio.ReadError, match="row table calls for") as raised:
        plateio.open(path)
    assert raised.value.filename == path and raised.value.errno is None
    capfd.readouterr()
    # The readers themselves: the library's refusal and message.
    with pytest.raises(plateio.ReadError, match="read_tra could not read it") as raised:
        plateio.read_tra(path)
    assert raised.value.filename == path and raised.value.errno is None
    assert capfd.readouterr().out == TRA_MESSAGE.format(path)
    with pytest.raises(plateio.ReadError):
        plateio.read_az_tra(path, np.arange(1200 * 1200), np.zeros(4, dtype=np.int32))
    assert capfd.readouterr().out == TRA_SHORT_MESSAGE.format(path)


def test_read_az_tra_leaves_the_cells_of_a_refused_file(exposures, tmp_path):
    path = damaged(exposures["tra"], tmp_path, "short.tra", _truncate(1000))
    cells = np.arange(100, dtype=np.int32)
    with pytest.raises(plateio.ReadError):
        plateio.read_az_tra(path, np.arange(1200 * 1200), cells)
    np.testing.assert_array_equal(cells, np.arange(100))


def test_xarea_without_its_magic(exposures, tmp_path, capfd):
    path = damaged(exposures["xarea_plain"], tmp_path, "nomagic.xa", _set_magic)
    with pytest.raises(plateio.ReadError, match="not a TRA or X-Area exposure"):
        plateio.open(path)
    capfd.readouterr()
    with pytest.raises(plateio.ReadError, match="read_xi") as raised:
        plateio.read_xi(path)
    assert raised.value.filename == path
    assert capfd.readouterr().out == " readXImage(): no stoe xfile ERROR\n"


@pytest.mark.parametrize("name,change,message", [
    ("truncated", _truncate(5000), " readXImage(): corrupt file ERROR\n"),
    ("toc", _toc_past_the_end, " readXImage(): error reading toc ERROR\n"),
])
def test_damaged_xarea_through_open(exposures, tmp_path, capfd, name, change, message):
    path = damaged(exposures["xarea_compressed"], tmp_path, name + ".xa", change)
    assert plateio.detect_format(path) == "xarea"
    for call in (plateio.open, plateio.read_header, plateio.read_container):
        capfd.readouterr()
        with pytest.raises(plateio.ReadError) as raised:
            call(path)
        assert raised.value.filename == path and path in str(raised.value)
        assert "standard output" in str(raised.value)
        assert capfd.readouterr().out == message, call.__name__


def test_a_path_is_stored_as_given(exposures, tmp_path):
    path = str(tmp_path / "100%d %s.xa")
    with open(exposures["xarea_small"], "rb") as source, open(path, "wb") as target:
        target.write(source.read())
    assert plateio.read_header(path)["path"] == path
    with pytest.raises(ValueError, match="zero byte"):
        plateio.open("bad\0path")


def test_the_message_comes_between_what_python_printed_before_and_after(tmp_path):
    """With standard output a pipe, the C library buffers it fully: without a flush the library's
    message would come out only at exit, after everything Python printed."""
    missing = str(tmp_path / "gone.tra")
    code = textwrap.dedent(f"""
        import plateio
        print("before")
        try:
            plateio.read_tra({missing!r})
        except plateio.ReadError as error:
            print("caught", error.filename)
        print("after")
        """)
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout == (f"before\n{TRA_MESSAGE.format(missing)}caught {missing}\nafter\n")


def test_read_error_is_an_oserror_that_pickles(missing):
    import pickle
    with pytest.raises(OSError) as raised:
        plateio.read_tra(missing)
    again = pickle.loads(pickle.dumps(raised.value))
    assert type(again) is plateio.ReadError
    assert (again.errno, again.filename, str(again)) == (raised.value.errno, missing,
                                                         str(raised.value))
