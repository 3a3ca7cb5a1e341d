"""Many exposures as one lazy Dask array, for reductions on a laptop or a cluster.

    >>> import plateio.dask
    >>> stack = plateio.dask.stack(sorted(glob.glob("scan/*.tra")))
    >>> stack.shape, stack.chunksize, stack.dtype
    ((250, 1200, 1200), (1, 1200, 1200), dtype('int32'))
    >>> mean = stack.mean(axis=0).compute()          # read file by file, in parallel

One chunk per file, read by plateio.open when a task needs it, on whichever worker runs the task:
the graph holds only paths and a module-level function, so it runs unchanged with the threaded
scheduler, with processes, and on a dask.distributed cluster (LocalCluster, or a batch system's
through dask-jobqueue) -- the workers need plateio and the files under the same paths.
"""

from __future__ import annotations

import os
from typing import Iterable, List, Union

import dask.array
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

import plateio
from plateio._exposure import probe

__all__ = ["stack"]


def _read(path):
    """One file as a chunk of shape (1, height, width)."""
    return plateio.open(path).data[np.newaxis]


def stack(paths: Iterable[Union[str, "os.PathLike[str]"]]) -> dask.array.Array:
    """A lazy int32 dask.array of shape (n, height, width) over n exposures of either family, one
    chunk per file, in the order given. Each file's header is read now (as read_header reads it,
    at most 64 KiB a file) and kept in the array's `headers`, a list of dicts in the same order;
    the pixels are read only when the array is computed.

    All files must have the same width and height: else ValueError names the first that differs.
    A file that cannot be read raises ReadError now, or, should it change in between, when its
    chunk is computed."""
    names = [os.fsdecode(os.fspath(path)) for path in paths]
    if not names:
        raise ValueError("plateio.dask.stack: no files given")
    headers = []
    shape = None
    for name in names:
        header, size = probe(name)
        if shape is None:
            shape, first = size, name
        elif size != shape:
            raise ValueError(f"plateio.dask.stack: {name} is {size[1]} x {size[0]} pixels, but "
                             f"{first} is {shape[1]} x {shape[0]}; a stack needs one size")
        headers.append(header)
    token = tokenize(names, [(os.stat(n).st_mtime_ns, os.stat(n).st_size) for n in names])
    key = "plateio-stack-" + token
    layer = {(key, i, 0, 0): (_read, name) for i, name in enumerate(names)}
    graph = HighLevelGraph.from_collections(key, layer, dependencies=())
    chunks = ((1,) * len(names), (shape[0],), (shape[1],))
    array = dask.array.Array(graph, key, chunks, dtype=np.int32)
    array.headers = headers
    return array

