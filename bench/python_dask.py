"""The mean of a series of exposures with plateio.dask on a LocalCluster against a plain loop of
plateio.open(out=...) with a running sum, measured in one run on the same files.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_dask.py \\
        [--files 500] [--workers 2] [--tool build/release/tools/plateio] [--dir DIR]

  loop    one process: plateio.open(path, out=frame) into one int32 array, added to an int64
          running sum, divided by the count at the end
  dask    plateio.dask.stack(paths).mean(axis=0).compute() on a dask.distributed LocalCluster of
          `workers` single-threaded worker processes, started before the clock (and warmed
          by the mean of two files, so that each has imported plateio, NumPy and Dask's reductions); the stack's construction (every file's header) is timed with it

The files are 1200 x 1200 TRA exposures made by `plateio synth` (twenty seeds, copied to reach the
count) in DIR or a temporary directory, read once before either run so that both find them in the
page cache. Both results are checked to be equal. Figures on a machine busy with other work are
not comparable.
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

import numpy as np

import plateio
import plateio.dask

SEEDS = 20


def make_files(tool, directory, count):
    made = []
    for seed in range(1, SEEDS + 1):
        path = os.path.join(directory, f"seed_{seed}.tra")
        if not os.path.exists(path):
            subprocess.run([tool, "synth", "--format", "tra", "--seed", str(seed), "-o", path],
                           check=True, stdout=subprocess.DEVNULL)
        made.append(path)
    paths = []
    for k in range(count):
        path = os.path.join(directory, f"frame_{k:05d}.tra")
        if not os.path.exists(path):
            shutil.copyfile(made[k % SEEDS], path)
        paths.append(path)
    return paths


def plain_loop(paths):
    first = plateio.open(paths[0])
    frame = np.empty_like(first.data)
    total = first.data.astype(np.int64)
    for path in paths[1:]:
        total += plateio.open(path, out=frame).data
    return total / len(paths)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=500)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--tool", default=os.path.join("build", "release", "tools", "plateio"))
    parser.add_argument("--dir", help="where the files are made (kept); default a temporary directory")
    arguments = parser.parse_args()

    import distributed

    directory = arguments.dir or tempfile.mkdtemp(prefix="plateio-dask-")
    os.makedirs(directory, exist_ok=True)
    try:
        paths = make_files(arguments.tool, directory, arguments.files)
        for path in paths:  # into the page cache
            with open(path, "rb") as f:
                while f.read(1 << 20):
                    pass
        cluster = distributed.LocalCluster(n_workers=arguments.workers, threads_per_worker=1,
                                           processes=True, dashboard_address=None, silence_logs=40)
        with distributed.Client(cluster) as client:
            # Started means ready: plateio, NumPy and Dask's reductions imported in each worker.
            client.run(plateio.load_library)
            plateio.dask.stack(paths[:2], frames_per_chunk=1).mean(axis=0).compute()

            start = time.perf_counter()
            expected = plain_loop(paths)
            loop = time.perf_counter() - start

            start = time.perf_counter()
            mean = plateio.dask.stack(paths).mean(axis=0).compute()
            cluster_time = time.perf_counter() - start
        cluster.close()
        if not np.array_equal(mean, expected):
            raise SystemExit("the two means differ")
        print(f"{arguments.files} exposures of 1200 x 1200, {os.cpu_count()} CPUs")
        print(f"  loop   {loop:8.3f} s")
        print(f"  dask   {cluster_time:8.3f} s   ({arguments.workers} single-threaded workers; "
              f"{cluster_time / loop:.2f} x the loop)")
    finally:
        if arguments.dir is None:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
