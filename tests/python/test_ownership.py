"""The pixel blocks the specified functions allocate become NumPy arrays without a copy; the array's
base owns the block and releases it with the C library's free when the last array viewing it is
gone."""

import ctypes
import gc
import weakref

import numpy as np
import pytest

import plateio
from support import rss_bytes

MIB = 1024 * 1024
TRA_IMAGE = 1200 * 1200 * 4


def _owner(array):
    owner = array.base
    assert owner is not None and not isinstance(owner, np.ndarray)
    return owner


READS = [
    ("read_tra", lambda e: plateio.read_tra(e["tra"])),
    ("read_short_tra", lambda e: plateio.read_tra(e["tra"], mark_saturated=False)),
    ("read_xi", lambda e: plateio.read_xi(e["xarea_compressed"])[0].data),
    ("read_container", lambda e: plateio.read_container(e["xarea_compressed"])[1]),
    ("uncompress", lambda e: plateio.uncompress(*plateio.read_container(e["xarea_compressed"]))),
]


@pytest.mark.parametrize("name,read", READS, ids=[r[0] for r in READS])
def test_the_arrays_base_owns_the_block(exposures, name, read):
    array = read(exposures)
    owner = _owner(array)
    # No copy: the array's memory is the block the owner holds, and NumPy does not own it.
    assert not array.flags.owndata
    assert array.ctypes.data == owner.address != 0
    assert array.__array_interface__["data"][0] == owner.address
    assert array.flags.c_contiguous and array.flags.writeable


def test_the_block_lives_as_long_as_any_view(exposures):
    array = plateio.read_tra(exposures["tra"])
    expected = array.copy()
    owner = weakref.ref(_owner(array))
    corner = array[600:, 600:]
    row = array[700]
    del array
    gc.collect()
    assert owner() is not None, "views keep the block"
    np.testing.assert_array_equal(corner, expected[600:, 600:])
    np.testing.assert_array_equal(row, expected[700])
    del corner
    gc.collect()
    assert owner() is not None
    del row
    gc.collect()
    assert owner() is None, "the last view gone, the owner goes and frees the block"


def test_writing_into_the_array_writes_into_the_block(exposures):
    array = plateio.read_tra(exposures["tra"])
    address = _owner(array).address
    array[0, 0] = 12345
    assert np.ctypeslib.as_array((np.ctypeslib.ctypes.c_int32 * 1).from_address(address))[0] == 12345


def _rss_growth(read, count):
    """Resident memory growth over `count` reads whose results are dropped at once."""
    for _ in range(50):
        read()
    gc.collect()
    before = rss_bytes()
    for _ in range(count):
        read()
    gc.collect()
    return rss_bytes() - before


def test_a_thousand_opens_keep_resident_memory_flat(exposures):
    path = exposures["tra"]
    growth = _rss_growth(lambda: plateio.open(path).data.max(), 1000)
    # A block kept per open would be 1000 x 5.5 MiB; allow a little allocator noise.
    assert growth < 16 * MIB, f"resident memory grew by {growth / MIB:.1f} MiB"


def test_the_measurement_sees_blocks_that_are_kept(exposures):
    """The other side of the test above: the same measurement does see blocks that stay."""
    path = exposures["tra"]
    gc.collect()
    # Memory earlier tests freed would be reused unseen: hand it back to the system first.
    ctypes.CDLL(None).malloc_trim(0)
    before = rss_bytes()
    kept = [plateio.read_tra(path) for _ in range(20)]
    grown = rss_bytes() - before
    assert grown > 0.8 * 20 * TRA_IMAGE, f"only {grown / MIB:.1f} MiB for 20 images"
    del kept


def test_many_xarea_reads_keep_resident_memory_flat(exposures):
    path = exposures["xarea_wide"]

    def read():
        image, _ = plateio.read_xi(path)
        header, block = plateio.read_container(path)
        pixels = plateio.uncompress(header, block)
        plateio.read_header(path)
        return int(image.data.max()) + int(pixels[0, 0])

    growth = _rss_growth(read, 500)
    # Per round 1.2 MiB of pixels twice and a block: kept blocks would be near 1.5 GiB.
    assert growth < 16 * MIB, f"resident memory grew by {growth / MIB:.1f} MiB"
