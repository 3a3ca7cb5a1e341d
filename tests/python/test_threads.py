"""Several threads at once: the package keeps no state beyond the loaded library and the library
keeps none, so reading different files on different threads gives what one thread gives."""

import os
import subprocess
import sys
import threading
import time

import numpy as np

import plateio

ROUNDS = 25


def _run_in_threads(work):
    """Runs each callable of `work` on a thread of its own, all released together; returns their
    results (lists) in order and re-raises the first failure."""
    barrier = threading.Barrier(len(work))
    results = [None] * len(work)
    failures = []

    def run(index, job):
        try:
            barrier.wait()
            results[index] = job()
        except BaseException as error:  # noqa: B902 -- handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(i, job)) for i, job in enumerate(work)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]
    return results


def test_two_threads_read_different_files_as_one_thread_does(exposures):
    tra, xarea = exposures["tra"], exposures["xarea_compressed"]
    alone_tra = plateio.open(tra)
    alone_xarea = plateio.open(xarea)

    def reads(path):
        return lambda: [plateio.open(path) for _ in range(ROUNDS)]

    together_tra, together_xarea = _run_in_threads([reads(tra), reads(xarea)])
    for alone, together in ((alone_tra, together_tra), (alone_xarea, together_xarea)):
        assert len(together) == ROUNDS
        for exposure in together:
            np.testing.assert_array_equal(exposure.data, alone.data)
            assert _same_but_nan(exposure.header, alone.header)
            assert exposure.format == alone.format
        # Every read made an array of its own.
        assert len({e.data.ctypes.data for e in together}) == ROUNDS


def _same_but_nan(a, b):
    return a.keys() == b.keys() and all(
        np.array_equal(a[k], b[k], equal_nan=True) if k == "geometry" else a[k] == b[k] for k in a)


def test_every_reader_on_four_threads(exposures):
    tra, second, plain, coded = (exposures[n] for n in ("tra", "tra2", "xarea_plain", "xarea_wide"))
    points = np.random.default_rng(3).uniform(-500, 500, size=(200, 2))
    params = {"rotation": 10.0, "tilt_x": 2.0, "radial_shift": 0.5}
    jobs = [
        lambda: plateio.read_tra(tra, mark_saturated=False),
        lambda: plateio.read_tra(second),
        lambda: plateio.read_xi(plain)[0].data,
        lambda: plateio.uncompress(*plateio.read_container(coded)),
        lambda: plateio.correct(points, params, 200.0),
    ]
    expected = [job() for job in jobs]
    for _ in range(5):
        got = _run_in_threads([(lambda j=job: [j() for _ in range(4)]) for job in jobs])
        for results, reference in zip(got, expected):
            for result in results:
                np.testing.assert_array_equal(result, reference)


# A writer that sends the first half of a file into a pipe, then waits for a byte on its standard
# input before it sends the rest. Without that byte within its patience it sends the rest anyway
# and exits with 3, so that nothing hangs.
_WRITER = """
import select, sys
data = open(sys.argv[1], "rb").read()
half = len(data) // 2
with open(sys.argv[2], "wb") as pipe:
    pipe.write(data[:half])
    pipe.flush()
    signalled = bool(select.select([sys.stdin], [], [], float(sys.argv[3]))[0])
    pipe.write(data[half:])
sys.exit(0 if signalled else 3)
"""


def test_the_gil_is_released_during_a_read(exposures, tmp_path):
    """read_tra on a pipe blocks halfway through the file until the writer is told, by this
    thread, to send the rest. A read that held the GIL while it waits would keep this thread from
    telling it: the writer would give up and report it."""
    path = exposures["tra"]
    fifo = str(tmp_path / "exposure.pipe")
    os.mkfifo(fifo)
    result = []
    reader = threading.Thread(target=lambda: result.append(plateio.read_tra(fifo)))
    reader.start()
    writer = subprocess.Popen([sys.executable, "-c", _WRITER, path, fifo, "20"],
                              stdin=subprocess.PIPE)
    time.sleep(0.5)  # the reader is inside read_tra by now, waiting for the second half
    try:
        writer.stdin.write(b"go")
        writer.stdin.close()
    except BrokenPipeError:
        pass  # the writer gave up waiting: reported below
    assert writer.wait(timeout=60) == 0, "the writer was not told: the read held the GIL"
    reader.join(timeout=60)
    assert not reader.is_alive()
    np.testing.assert_array_equal(result[0], plateio.read_tra(path))
