"""plateio.dask.stack: many exposures as one lazy Dask array, several files a chunk, reduced on a
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
    stack = stacks.stack(copies, frames_per_chunk=1)
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


@pytest.mark.parametrize("frames_per_chunk", [1, 2, 4, None])
def test_reductions_over_the_files_equal_numpys_without_building_chunks(
        series, plateio_tool, frames_per_chunk, monkeypatch):
    """TRA and X-Area frames of one size mixed (int32 runs of TRA sums, int64 otherwise), a
    compressed copy among them, and runs of TRA frames cut short so that they are flushed."""
    import gzip
    import tracemalloc
    xarea = [plateio_tool.synth(f"square_{seed}.xa", "xarea", "--seed", str(seed), "--size",
                                "1200x1200", "--compressed") for seed in (21, 22)]
    packed = os.path.join(plateio_tool.directory, "packed.tra.gz")
    with open(series[0], "rb") as source, gzip.open(packed, "wb") as target:
        shutil.copyfileobj(source, target)
    paths = [series[0], xarea[0], *series[1:4], packed, xarea[1], series[4]]
    monkeypatch.setattr(stacks, "_TRA_RUN", 2)
    monkeypatch.setattr(stacks, "FOLD_BYTES", 1)  # a task a chunk: the tree combines them
    stack = stacks.stack(paths, frames_per_chunk=frames_per_chunk)
    assert stack.chunks[0] == ((len(paths),) if frames_per_chunk is None else
                               tuple(len(paths[i:i + frames_per_chunk])
                                     for i in range(0, len(paths), frames_per_chunk)))
    pixels = np.stack([plateio.open(path).data for path in paths])
    for name in ("sum", "mean", "max", "min"):
        tracemalloc.start()
        result = getattr(stack, name)(axis=0, split_every=3).compute(scheduler="sync")
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        expected = getattr(pixels, name)(axis=0)
        assert result.dtype == expected.dtype, name
        np.testing.assert_array_equal(result, expected, err_msg=name)
        if frames_per_chunk is None:
            # One frame read into, one running result and the answer: never the 8-frame chunk.
            assert peak < 6 * pixels[0].nbytes, (name, peak / pixels[0].nbytes)
    # Other reductions are Dask's own over the chunks.
    np.testing.assert_array_equal(stack.max(axis=(1, 2)).compute(), pixels.max(axis=(1, 2)))


def test_frames_per_chunk_must_be_a_positive_integer(series):
    for wrong in (0, -1, 1.5, True, "2"):
        with pytest.raises(ValueError, match="frames_per_chunk"):
            stacks.stack(series, frames_per_chunk=wrong)
