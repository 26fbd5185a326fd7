"""Refusals and the per-file budgets of the side-file decoder.

Every side file gets a fresh `Budget`: the memory that decoding may allocate
beyond the objects the opcodes themselves spell out, the work that hashing
keys may take, and how deeply a hashed key may nest. Nothing is shared
between loads.
"""

from __future__ import annotations

import pickle
import sys
from typing import Any

TRUSTED_RECIPE = "pickle.loads(gzip.decompress(open(path, 'rb').read()))"

# A file may allocate this much, or 256 bytes per byte of its decompressed
# pickle when that is more: enough for arrays whose bytes the file carries
# (one byte each, plus the copy made of them) and for the largest objects
# an opcode can spell out, a dict or list slot per opcode byte.
MIN_MEMORY = 64 << 20
MEMORY_PER_BYTE = 256
# Hashing a key visits every element of its tuples and frozensets, shared
# ones each time they occur; all keys of one file may visit this many per
# byte of memory budget.
HASH_VISITS_PER_BYTE = 1 / 8
# What the budget counts for what a call copies from values it is given
# (which the memo lets a file give again and again): a set or frozenset
# slot per element, a structured dtype per field, a dict entry of metadata.
SET_SLOT = 32
DTYPE_FIELD = 1024
METADATA_ENTRY = 128
# How deeply structured and subarray dtypes may nest; numpy recurses in C
# through nested dtypes when it compares, hashes or prints them.
MAX_DTYPE_NESTING = 64
# Nodes a hash, comparison or repr of one structured dtype may visit: numpy
# walks its fields by recursion, a field shared through the memo once per
# place it occurs (numpy 1.x twice per level when comparing), so a few bytes
# of a file can describe a dtype whose walk never ends.
MAX_DTYPE_COST = 1 << 16
# How many keys of one dict or set, other than text and bytes (whose hashes
# are salted), may share one hash value before the file counts as a
# collision attack on it.
MAX_SAME_HASH = 256


def refusal(what: str) -> pickle.UnpicklingError:
    """The error for `what` a side file may not hold, telling how to load a
    trusted file anyway."""
    return pickle.UnpicklingError(f"{what} is not allowed in a side file; if you trust this file, "
                                  f"load it with gzip and pickle: {TRUSTED_RECIPE}")


def malformed(what: str) -> pickle.UnpicklingError:
    """The error for a side file that is not a valid pickle, saying `what` is
    wrong."""
    return pickle.UnpicklingError(f"side file is not a valid pickle: {what}")


def over_budget(what: str, limit: int) -> pickle.UnpicklingError:
    """The error for a side file going beyond its `what` budget of `limit`,
    telling how to load a trusted file anyway."""
    return pickle.UnpicklingError(f"side file exceeds its {what} budget of {limit}; if you trust this file, "
                                  f"load it with gzip and pickle: {TRUSTED_RECIPE}")


_ATOMS = frozenset([str, bytes, int, float, bool, complex, type(None)])


def _check_atom(key: object) -> None:
    """Refuses a key that is a numpy value holding objects: a structured
    numpy scalar hashes its fields, objects among them, with recursion that
    no count here sees."""
    dtype = getattr(key, "dtype", None)
    if getattr(dtype, "hasobject", False):
        raise refusal("a key holding numpy objects")


class Budget:
    """What one file may still spend."""

    __slots__ = ("memory", "memory_left", "hash_visits", "hash_visits_left", "depth", "keys", "same_hash",
                 "dtype_depths")

    def __init__(self, size: int) -> None:
        self.memory = max(MIN_MEMORY, MEMORY_PER_BYTE * size)
        self.memory_left = self.memory
        self.hash_visits = int(self.memory * HASH_VISITS_PER_BYTE)
        self.hash_visits_left = self.hash_visits
        # The pickler recurses once per level and stops at the interpreter's
        # recursion limit, so no file it writes nests deeper.
        self.depth = sys.getrecursionlimit()
        # Per hashed tuple or frozenset (held, so that its id stays its own):
        # (the object, elements visited by one hash, depth).
        self.keys: dict[int, tuple[object, int, int]] = {}
        # Per dict or set that keys are added to (held, so that its id stays
        # its own): how many of its keys had each hash value.
        self.same_hash: dict[int, tuple[object, dict[int, int]]] = {}
        # Per structured or subarray dtype made (held): how deeply it nests,
        # and the nodes a walk over it visits.
        self.dtype_depths: dict[int, tuple[object, int, int]] = {}

    def allocate(self, nbytes: int) -> None:
        """Accounts for `nbytes` about to be allocated, or refuses them."""
        if nbytes > self.memory_left:
            raise over_budget("memory", self.memory)
        self.memory_left -= nbytes

    def check_keys(self, keys: object, container: object = None) -> None:
        """Refuses keys (dict keys or set elements) whose hashing, or comparing
        with keys of the same hash in `container` (None: a new one), would
        take more work or deeper recursion than this file may spend."""
        if container is None:
            same_hash: dict[int, int] = {}
        else:
            held = self.same_hash.get(id(container))
            if held is None or held[0] is not container:
                held = self.same_hash[id(container)] = (container, {})
            same_hash = held[1]
        for key in keys:  # type: ignore[attr-defined]
            kind = type(key)
            if kind is str or kind is bytes:
                continue
            visits = 1
            if kind is tuple or kind is frozenset:
                visits, depth = self._shape(key)
                if depth > self.depth:
                    raise over_budget("nesting depth", self.depth)
                self._spend(visits)
            elif kind not in _ATOMS:
                visits = self._atom_visits(key)
                self._spend(visits)
            try:
                value = hash(key)
            except TypeError as error:
                raise malformed(f"unhashable key of type {kind.__name__}") from error
            count = same_hash.get(value, 0)
            if count >= MAX_SAME_HASH:
                raise over_budget("keys with one hash value", MAX_SAME_HASH)
            same_hash[value] = count + 1
            if count and visits > 1:
                self._spend(visits * count)  # comparisons with the keys of the same hash

    def _atom_visits(self, key: object) -> int:
        """Nodes a hash of a key other than a tuple or frozenset visits: a
        dtype made in this load (or a numpy scalar of it) walks its fields."""
        _check_atom(key)
        dtype = getattr(key, "dtype", key)
        known = self.dtype_depths.get(id(dtype))
        return known[2] if known is not None and known[0] is dtype else 1

    def _spend(self, visits: int) -> None:
        """Counts `visits` of hashing work against the file's budget; running
        out refuses the file."""
        self.hash_visits_left -= visits
        if self.hash_visits_left < 0:
            raise over_budget("hashing work", self.hash_visits)

    def _shape(self, root: tuple[object, ...] | frozenset[object]) -> tuple[int, int]:
        """(elements a hash of `root` visits, nesting depth), without
        recursion, each tuple and frozenset measured once per file; a key
        nested deeper than the budget is refused on the way down."""
        keys = self.keys
        known = keys.get(id(root))
        if known is not None:
            return known[1], known[2]
        pending: list[tuple[Any, int, bool]] = [(root, 1, False)]
        while pending:
            node, level, children_done = pending.pop()
            if id(node) in keys:
                continue
            if not children_done:
                if level > self.depth:
                    raise over_budget("nesting depth", self.depth)
                pending.append((node, level, True))
                for child in node:
                    kind = type(child)
                    if kind is tuple or kind is frozenset:
                        if id(child) not in keys:
                            pending.append((child, level + 1, False))
                    elif kind not in _ATOMS:
                        self._atom_visits(child)
                continue
            visits, depth = 1, 1
            for child in node:
                entry = keys.get(id(child))
                if entry is not None:
                    visits += entry[1]
                    depth = max(depth, entry[2] + 1)
                elif type(child) in _ATOMS:
                    visits += 1
                else:
                    visits += self._atom_visits(child)
            keys[id(node)] = (node, visits, depth)
        entry = keys[id(root)]
        return entry[1], entry[2]
