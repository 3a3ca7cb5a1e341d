"""Missing and damaged files: ReadError naming the path. The quiet readers (open, read_header,
detect_format) carry the library's reason and code and print nothing; the readers of the specified
functions print the library's own message on standard output, in order with Python's."""

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


QUIET_READERS = [plateio.open, plateio.read_header, plateio.detect_format]


@pytest.mark.parametrize("call", QUIET_READERS)
def test_missing_file_through_the_quiet_readers(missing, capfd, call):
    capfd.readouterr()
    with pytest.raises(plateio.ReadError) as raised:
        call(missing)
    error = raised.value
    assert (error.filename, error.errno, error.code) == (missing, errno.ENOENT, 2)
    assert str(error) == f"{missing}: cannot open the file ({os.strerror(errno.ENOENT)})"
    assert error.reason == error.strerror
    assert capfd.readouterr() == ("", "")


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


# (name, source file, change, result code, the library's reason, the specified reader and its
# message)
DAMAGED = [
    ("short tra", "tra", _truncate(1000), 3, "its TRA row table calls for 2223424 bytes, but it "
     "has 2222424", lambda p: plateio.read_tra(p), TRA_MESSAGE),
    ("no magic", "xarea_plain", _set_magic, 3, "not a TRA or X-Area file: no X-Area magic, and TRA "
     "row 2 would be", lambda p: plateio.read_xi(p), " readXImage(): no stoe xfile ERROR\n"),
    ("truncated", "xarea_compressed", _truncate(5000), 10, "pixel entry of 425812 bytes at offset "
     "596 is not in the file", plateio.read_container, " readXImage(): corrupt file ERROR\n"),
    ("toc", "xarea_compressed", _toc_past_the_end, 5, "table of contents cut short: 1000000 "
     "entries announced", plateio.read_container, " readXImage(): error reading toc ERROR\n"),
]


@pytest.mark.parametrize("name,source,change,code,reason,reader,message", DAMAGED,
                         ids=[d[0] for d in DAMAGED])
def test_damaged_files(exposures, tmp_path, capfd, name, source, change, code, reason, reader,
                       message):
    path = damaged(exposures[source], tmp_path, name.replace(" ", "_"), change)
    capfd.readouterr()
    for call in QUIET_READERS:
        with pytest.raises(plateio.ReadError) as raised:
            call(path)
        error = raised.value
        assert (error.filename, error.errno, error.code) == (path, None, code), call.__name__
        assert reason in error.reason
        assert str(error) == f"{path}: {error.reason}"
    assert capfd.readouterr() == ("", ""), "the quiet readers print nothing"
    with pytest.raises(plateio.ReadError) as raised:
        reader(path)
    assert raised.value.filename == path and raised.value.code is None
    assert "standard output" in str(raised.value)
    assert capfd.readouterr().out == message.format(path)


def test_read_az_tra_leaves_the_cells_of_a_refused_file(exposures, tmp_path, capfd):
    path = damaged(exposures["tra"], tmp_path, "short.tra", _truncate(1000))
    cells = np.arange(100, dtype=np.int32)
    with pytest.raises(plateio.ReadError):
        plateio.read_az_tra(path, np.arange(1200 * 1200), cells)
    np.testing.assert_array_equal(cells, np.arange(100))
    assert capfd.readouterr().out == TRA_SHORT_MESSAGE.format(path)


def test_a_path_is_stored_as_given(exposures, tmp_path):
    path = str(tmp_path / "100%d %s.xa")
    with open(exposures["xarea_small"], "rb") as source, open(path, "wb") as target:
        target.write(source.read())
    assert plateio.open(path).path == path
    assert plateio.read_header(path)["source"] == "100%d %s.xa"
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
    with pytest.raises(plateio.ReadError) as raised:
        plateio.open(missing)
    again = pickle.loads(pickle.dumps(raised.value))
    assert (again.errno, again.filename, again.code, again.reason) == \
        (errno.ENOENT, missing, 2, raised.value.reason)
