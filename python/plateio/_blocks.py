"""Blocks that the library allocated with malloc, seen by NumPy without a copy.

A Block owns one such block and exposes it through the array interface. The array NumPy makes from
it keeps the Block as its base; views and slices of that array keep it alive in turn. When the last
of them is garbage-collected the Block goes too, and releases the block with the C library's free.
"""

import numpy as np


class Block:
    """Owner of one malloc'd block of the library: the base of the arrays that view it."""

    __slots__ = ("_free", "_address", "_interface", "__weakref__")

    def __init__(self, free, address, shape, typestr):
        self._free = free
        self._address = address
        self._interface = {"version": 3, "shape": tuple(shape), "typestr": typestr,
                           "data": (address, False)}

    @property
    def __array_interface__(self):
        return self._interface

    @property
    def address(self):
        """Address of the block, until it is released."""
        return self._address

    def __del__(self):
        address, self._address = self._address, None
        if address:
            self._free(address)

    def __repr__(self):
        return (f"<plateio block at {self._address:#x}: {self._interface['shape']} "
                f"{self._interface['typestr']}>" if self._address else "<plateio block, released>")


def adopt(library, address, shape, dtype):
    """An array over a block at `address` that the library allocated with malloc; the array's base
    owns the block from now on. The block is taken over before anything can fail, so it is
    released whatever happens next."""
    if not address:
        raise MemoryError("plateio: the library reported success but handed over no block")
    owner = Block(library.free, address, shape, np.dtype(dtype).str)
    return np.asarray(owner)
