"""Result arrays that are recycled once nobody else can see them.

A batch hands out a fresh observation array every step. Allocating it anew
costs more than computing it for large batches: the allocator returns big
blocks to the system, and the next step pays a page fault for every 4 KiB
again. Recycling is safe only for an array that no caller holds any more,
directly or through a view (a view keeps a reference to its base); the
reference count says exactly that.
"""

from __future__ import annotations

import sys

import numpy as np

# Our list entry, the loop variable and getrefcount's own argument.
_UNSHARED = 3


class Recycler:
    """Hands out arrays of one shape and dtype, reusing those no one holds."""

    def __init__(self, shape: tuple[int, ...], dtype: np.dtype | type, keep: int = 3) -> None:
        self.shape = shape
        self.dtype = np.dtype(dtype)
        self.keep = keep
        self.arrays: list[np.ndarray] = []

    def take(self) -> np.ndarray:
        """An array nobody else holds, reused when one is free, new otherwise."""
        for array in self.arrays:
            if sys.getrefcount(array) == _UNSHARED:
                return array
        array = np.empty(self.shape, self.dtype)
        if len(self.arrays) < self.keep:
            self.arrays.append(array)
        return array
