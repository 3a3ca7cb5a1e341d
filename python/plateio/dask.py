"""Many exposures as one lazy Dask array, for reductions on a laptop or a cluster.

    >>> import plateio.dask
    >>> stack = plateio.dask.stack(sorted(glob.glob("scan/*.tra")))
    >>> stack.shape, stack.chunksize, stack.dtype
    ((250, 1200, 1200), (23, 1200, 1200), dtype('int32'))
    >>> mean = stack.mean(axis=0).compute()          # read chunk by chunk, in parallel

Several files make one chunk (about 128 MiB by default), read by plateio.open into the chunk's
own array when a task needs it, on whichever worker runs the task: one task reads many files, so
the scheduler's cost per task and the partial results a reduction moves between workers are
shared out over many files rather than paid for each. The graph holds only paths and a
module-level function, so it runs unchanged with the threaded scheduler, with processes, and on a
dask.distributed cluster (LocalCluster, or a batch system's through dask-jobqueue) -- the workers
need plateio and the files under the same paths.

The stack's own mean, sum, max and min over the files (axis=0) never build a chunk at all: a
task reads its files one after the other into one int32 frame and folds each into one running
result (int64 for sums and means -- TRA frames, whose pixels are at most 256001, first in int32
runs that cannot overflow --, int32 for max and min) -- the plain loop, one per 512 MiB of
pixels or per chunk if larger, in parallel -- and the tasks' results are combined in a tree of `split_every` (default 8) at a time.
Any other reduction or expression is Dask's own on int32 chunks: a worker process of
dask.distributed returns freed memory to the system at once, so a chunk that is not needed is
not made.
"""

from __future__ import annotations

import ctypes
import os
from typing import Iterable, Optional, Union

import dask.array
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

import plateio
from plateio import _library
from plateio._exposure import probe

__all__ = ["stack", "Stack", "CHUNK_BYTES"]

#: The size a chunk is made of files up to when frames_per_chunk is not given.
CHUNK_BYTES = 128 << 20
#: The pixels one task of the stack's own reductions folds at least (it never holds more than a
#: frame of them): larger tasks than chunks, since each hands a frame-sized result to the tree.
FOLD_BYTES = 512 << 20


def _read_into(path, frame):
    """Reads a file's pixels into `frame` with the library's plateio_read, and nothing more (no
    mask: a reduction does not need it); returns the family. Whatever plateio_read cannot take
    (a compressed file, a failure) goes through plateio.open, which reads it or raises the
    ReadError it raises everywhere."""
    record = _library.Frame()
    code = _library.library().plateio_read(os.fsencode(path), frame.ctypes.data, frame.size,
                                           ctypes.byref(record), 0)
    if code == _library.OK and (record.height, record.width) == frame.shape:
        return _library.FAMILIES[record.family]
    return plateio.open(path, out=frame).format


def _read(paths, height, width):
    """Files as one chunk of shape (len(paths), height, width), each read straight into its
    plane of the chunk."""
    block = np.empty((len(paths), height, width), dtype=np.int32)
    for plane, path in zip(block, paths):
        _read_into(path, plane)
    return block


# The stack's own reductions over the files: (the result's dtype, the ufunc that folds a frame in).
_FOLDS = {"sum": (np.int64, np.add), "mean": (np.int64, np.add), "max": (np.int32, np.maximum),
          "min": (np.int32, np.minimum)}


# TRA pixels lie in 0 to PIXEL_OVERFLOW (16-bit counts and the overflow mark): this many TRA frames
# add up exactly in int32, at a fraction of the cost of adding each to an int64 sum.
_TRA_RUN = (2**31 - 1) // plateio.PIXEL_OVERFLOW


def _fold_in(result, frame, fold, dtype):
    if result is None:
        return frame.astype(dtype)
    fold(result, frame, out=result, dtype=dtype)
    return result


def _fold_files(paths, height, width, operation):
    """A group of files reduced over the files: each read into one frame and folded into the
    running result, as the plain loop does. Sums of TRA frames are made in int32, in runs short
    enough never to overflow it; a group of only TRA files gives its int32 sum, half the bytes to
    move to the worker that combines it."""
    dtype, fold = _FOLDS[operation]
    frame = np.empty((height, width), dtype=np.int32)
    result, run, run_length = None, None, 0
    for path in paths:
        family = _read_into(path, frame)
        if dtype is np.int64 and family == "tra":
            if run is None:
                run, run_length = frame.copy(), 1
            else:
                np.add(run, frame, out=run)
                run_length += 1
            if run_length == _TRA_RUN:
                result, run = _fold_in(result, run, fold, dtype), None
        else:
            result = _fold_in(result, frame, fold, dtype)
    if run is not None:
        return run if result is None else _fold_in(result, run, fold, dtype)
    return result


def _fold_partials(operation, *partials):
    """Partial results folded into a new array of the result's dtype (the inputs are left as
    they are: a scheduler may hand them to a task again)."""
    dtype, fold = _FOLDS[operation]
    if len(partials) == 1:
        return partials[0].astype(dtype)
    result = fold(partials[0], partials[1], dtype=dtype)
    for partial in partials[2:]:
        fold(result, partial, out=result, dtype=dtype)
    return result


def _divide(total, count):
    return total / count


class Stack(dask.array.Array):
    """The dask.array that stack() returns: a dask.array.Array in every respect, with `headers`,
    and with mean, sum, max and min over the files (axis=0, no dtype, out or keepdims) computed by
    folding file after file into one result per task, without building the chunks."""

    def _over_files(self, operation, axis, split_every, plain):
        if axis not in (0, (0,), -3, (-3,)) or plain:
            return None
        height, width = self.shape[1], self.shape[2]
        fan_in = 8 if split_every is None else split_every
        if isinstance(fan_in, dict):
            fan_in = fan_in.get(0, 8)
        fan_in = max(2, int(fan_in))
        name = f"plateio-{operation}-" + tokenize(self.name, operation, fan_in)
        paths = [path for group in self.groups for path in group]
        per_task = max(len(self.groups[0]), FOLD_BYTES // (height * width * 4))
        layer = {}
        level = []
        for i, group in enumerate(paths[j:j + per_task] for j in range(0, len(paths), per_task)):
            layer[(name + "-files", i)] = (_fold_files, group, height, width, operation)
            level.append((name + "-files", i))
        depth = 0
        while len(level) > 1:
            depth += 1
            above = []
            for i in range(0, len(level), fan_in):
                key = (f"{name}-level{depth}", i // fan_in)
                layer[key] = (_fold_partials, operation, *level[i:i + fan_in])
                above.append(key)
            level = above
        if operation == "mean":
            layer[(name, 0, 0)] = (_divide, level[0], self.shape[0])
            dtype = np.float64
        else:
            dtype = _FOLDS[operation][0]
            top = layer.pop(level[0])
            # The top of the tree is the result's one chunk, in the result's dtype.
            layer[(name, 0, 0)] = top if top[0] is _fold_partials else (_fold_partials, operation, top)
        graph = HighLevelGraph.from_collections(name, layer, dependencies=())
        return dask.array.Array(graph, name, ((height,), (width,)), dtype=dtype)

    def sum(self, axis=None, dtype=None, keepdims=False, split_every=None, out=None):
        fast = self._over_files("sum", axis, split_every, dtype is not None or keepdims or out is not None)
        return fast if fast is not None else super().sum(axis, dtype, keepdims, split_every, out)

    def mean(self, axis=None, dtype=None, keepdims=False, split_every=None, out=None):
        fast = self._over_files("mean", axis, split_every, dtype is not None or keepdims or out is not None)
        return fast if fast is not None else super().mean(axis, dtype, keepdims, split_every, out)

    def max(self, axis=None, keepdims=False, split_every=None, out=None):
        fast = self._over_files("max", axis, split_every, keepdims or out is not None)
        return fast if fast is not None else super().max(axis, keepdims, split_every, out)

    def min(self, axis=None, keepdims=False, split_every=None, out=None):
        fast = self._over_files("min", axis, split_every, keepdims or out is not None)
        return fast if fast is not None else super().min(axis, keepdims, split_every, out)


def stack(paths: Iterable[Union[str, "os.PathLike[str]"]],
          frames_per_chunk: Optional[int] = None) -> Stack:
    """A lazy int32 dask.array of shape (n, height, width) over n exposures of either family, in
    the order given. Each file's header is read now (as read_header reads it, at most 64 KiB a
    file) and kept in the array's `headers`, a list of dicts in the same order; the pixels are
    read only when the array is computed.

    frames_per_chunk: files per chunk (the last chunk may hold fewer); by default as many as fit
    in CHUNK_BYTES (128 MiB: 23 exposures of 1200 x 1200), at least one.

    All files must have the same width and height: else ValueError names the first that differs.
    A file that cannot be read raises ReadError now, or, should it change in between, when its
    chunk is computed."""
    names = [os.fsdecode(os.fspath(path)) for path in paths]
    if not names:
        raise ValueError("plateio.dask.stack: no files given")
    if frames_per_chunk is not None and (not isinstance(frames_per_chunk, (int, np.integer)) or
                                         isinstance(frames_per_chunk, bool) or frames_per_chunk < 1):
        raise ValueError(f"plateio.dask.stack: frames_per_chunk must be a positive integer, not "
                         f"{frames_per_chunk!r}")
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
    if frames_per_chunk is None:
        frames_per_chunk = max(1, CHUNK_BYTES // max(1, shape[0] * shape[1] * 4))
    per_chunk = int(min(frames_per_chunk, len(names)))
    groups = [names[i:i + per_chunk] for i in range(0, len(names), per_chunk)]
    stats = [os.stat(n) for n in names]
    token = tokenize(names, per_chunk, [(s.st_mtime_ns, s.st_size) for s in stats])
    key = "plateio-stack-" + token
    layer = {(key, i, 0, 0): (_read, group, shape[0], shape[1]) for i, group in enumerate(groups)}
    graph = HighLevelGraph.from_collections(key, layer, dependencies=())
    chunks = (tuple(len(group) for group in groups), (shape[0],), (shape[1],))
    array = Stack(graph, key, chunks, dtype=np.int32)
    array.headers = headers
    array.groups = groups
    return array
