"""plateio.dask.stack: many exposures as one lazy Dask array, one chunk per file, reduced on a
two-worker dask.distributed LocalCluster exactly as NumPy reduces the same pixels."""

import os
import shutil

import numpy as np
import pytest

import plateio
from support import need_module

dask_array = need_module("dask.array")
distributed = need_module("distributed")
stacks = need_module("plateio.dask")


@pytest.fixture(scope="module")
def client():
    """One cluster for the module: starting worker processes costs seconds."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


@pytest.fixture(scope="module")
def series(exposures, plateio_tool):
    """Five TRA exposures: the fixture's two and three more seeds."""
    more = [plateio_tool.synth(f"series_{seed}.tra", "tra", "--seed", str(seed))
            for seed in (11, 12, 13)]
    return [exposures["tra"], exposures["tra2"], *more]


def test_a_stack_is_lazy_with_a_chunk_and_a_header_per_file(series, tmp_path):
    copies = []
    for index, path in enumerate(series[:3]):
        copies.append(str(tmp_path / f"{index}.tra"))
        shutil.copy(path, copies[-1])
    stack = stacks.stack(copies)
    assert stack.shape == (3, 1200, 1200) and stack.dtype == np.dtype(np.int32)
    assert stack.chunks == ((1, 1, 1), (1200,), (1200,))
    assert len(stack.headers) == 3
    for header, path in zip(stack.headers, copies):
        expected = plateio.read_header(path)
        assert header == expected and header["source"] == os.path.basename(path)
    # Nothing is read until asked for: a file gone now fails only the chunk that needs it.
    os.remove(copies[2])
    np.testing.assert_array_equal(stack[1].compute(scheduler="sync"), plateio.open(series[1]).data)
    with pytest.raises(plateio.ReadError) as raised:
        stack[2].compute(scheduler="sync")
    assert raised.value.filename == copies[2]


def test_a_stack_needs_one_size_and_readable_files(exposures, tmp_path):
    with pytest.raises(ValueError, match=r"plain.xa is 640 x 480 pixels, but .*powder.tra is "
                                         r"1200 x 1200"):
        stacks.stack([exposures["tra"], exposures["xarea_plain"]])
    with pytest.raises(plateio.ReadError):
        stacks.stack([exposures["tra"], str(tmp_path / "missing.tra")])
    with pytest.raises(ValueError, match="no files"):
        stacks.stack([])


def test_a_reduction_on_a_local_cluster_equals_numpys(series, client):
    stack = stacks.stack(series)
    pixels = np.stack([plateio.open(path).data for path in series])
    valid = stack != plateio.PIXEL_OVERFLOW
    total, brightest, mean_valid, overflowed = client.compute([
        stack.astype(np.int64).sum(axis=0),
        stack.max(axis=(1, 2)),
        dask_array.where(valid, stack, 0).sum(axis=0) / valid.sum(axis=0).clip(1),
        (~valid).sum(axis=(1, 2)),
    ], sync=True)
    expected_valid = pixels != plateio.PIXEL_OVERFLOW
    np.testing.assert_array_equal(total, pixels.astype(np.int64).sum(axis=0))
    np.testing.assert_array_equal(brightest, pixels.max(axis=(1, 2)))
    np.testing.assert_array_equal(mean_valid, np.where(expected_valid, pixels, 0).sum(axis=0) /
                                  expected_valid.sum(axis=0).clip(1))
    np.testing.assert_array_equal(overflowed, [plateio.open(p).overflow_count for p in series])
    assert len(client.scheduler_info()["workers"]) == 2
