"""Hostile side files: each is refused, in a forked child, with little memory,
and leaves numpy's dtypes and the decoder's own objects as they were."""

import gzip
import pickle
import re
import resource
import sys
import types

import numpy as np
import pytest

import vintrel
import vintrel._safe_pickle as safe_pickle
import vintrel._side_limits as side_limits
import vintrel._side_numpy as side_numpy
from child_process import SANITIZER, in_child
from pickle_asm import (EMPTY_DICT, HOSTILE, POP, chain, dtype, get, nested_dtype, num, pickle_of, put, simple_state,
                        text, tup, wide_dtype)

PARAMS = {"model": "merrowv3", "channels": 4, "windows": 8, "samples": 64}
# Growth of the child's peak resident memory allowed for any of the files
# (the largest is 1 MB); the sanitizer's shadow memory needs more.
MAX_GROWTH_MIB = 512 if SANITIZER else 160


def process_state():
    """What a hostile file must not change."""
    objects = {(module.__name__, name): (id(value), dict(getattr(value, "__dict__", None) or {}))
               for module in (safe_pickle, side_numpy, side_limits) for name, value in vars(module).items()
               if not name.startswith("__") and not isinstance(value, types.ModuleType)}
    objects.update({key: (id(value), value.name, value.call) for key, value in
                    {**safe_pickle._BUILTINS, **safe_pickle._NUMPY}.items()})
    dtypes = [(np.dtype(code).itemsize, np.dtype(code).str) for code in ("S", "V", "U", "f8", "O")]
    strings = np.array([b"abc"], dtype="S").itemsize
    return objects, dtypes, strings, sorted(name for name in sys.modules if "encodings" in name or name == "bz2")


def refuse(data, through_acquisition=None):
    side_numpy.load()
    before = process_state()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        if through_acquisition:
            (through_acquisition / "timing_calibration").write_bytes(gzip.compress(data))
            vintrel.Acquisition(str(through_acquisition)).timing_calibration
        else:
            safe_pickle.loads(data)
        outcome = ("decoded", "")
    except Exception as error:
        outcome = (type(error).__name__, str(error))
    growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) >> 10
    return outcome, growth, process_state() == before


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_side_files_are_refused_within_bounds(case):
    data, named = HOSTILE[case]
    (kind, message), growth, unchanged = in_child(lambda: refuse(data))
    assert kind == "UnpicklingError" and re.search(named, message), message
    assert growth < MAX_GROWTH_MIB
    assert unchanged


@pytest.mark.parametrize("case", ["void_scalar_then_second_state", "shared_tuples_as_dict_key", "bytearray_of_6_GiB",
                                  "S_state_of_size_0", "bytearray_with_codec_import"])
def test_hostile_side_files_are_refused_through_the_property(make_acq, case):
    root = make_acq(PARAMS)
    data, named = HOSTILE[case]
    (kind, message), growth, unchanged = in_child(lambda: refuse(data, root))
    assert kind == "UnpicklingError" and re.search(named, message), message
    assert unchanged


def test_budget_errors_name_the_budget_and_the_trusted_recipe():
    with pytest.raises(pickle.UnpicklingError, match=r"exceeds its memory budget of 67108864; .*gzip.decompress"):
        safe_pickle.loads(HOSTILE["bytearray_of_6_GiB"][0])


def test_a_state_replaces_the_dtype_under_every_memo_key():
    # Made, stored under two keys, given a state: both keys hold the new one,
    # and numpy's own float64 stays as it is.
    ops = (b"c" + b"numpy\ndtype\n" + b"(" + text("f8") + b"\x89\x88tR" + put(7) + put(8)
           + simple_state(">") + b"b0" + b"(" + get(7) + get(8) + b"t")
    first, second = safe_pickle.loads(pickle_of(ops))
    assert first is second and first.str == ">f8" and np.dtype("f8").str == "<f8"


@pytest.mark.parametrize("levels, refused", [(12, False), (60, True)])
def test_memo_shared_keys_count_every_reference(levels, refused):
    data = pickle_of(b"}" + put(999) + chain(levels) + b"Ns")
    if refused:
        with pytest.raises(pickle.UnpicklingError, match="hashing work"):
            safe_pickle.loads(data)
    else:
        assert len(next(iter(safe_pickle.loads(data)))) == 2


@pytest.mark.parametrize("padding, refused", [(0, True), (1 << 17, False)])
def test_the_memory_budget_grows_with_the_file(padding, refused):
    # 64 MiB, or 256 bytes per byte of the file when that is more.
    ask = (64 << 20) + 1
    data = pickle_of(b"c__builtin__\nbytearray\n(J" + ask.to_bytes(4, "little") + b"tR0" + b"N0" * padding + b"N")
    if refused:
        with pytest.raises(pickle.UnpicklingError, match="memory budget"):
            safe_pickle.loads(data)
    else:
        assert safe_pickle.loads(data) is None


# numpy 1.x compares nested structured dtypes in time doubling with each
# level, so there the size budget stops a chain at 16 levels; numpy 2 walks
# a chain in linear time, and the nesting budget stops it at 65.
NUMPY_1 = int(np.__version__.split(".")[0]) < 2
DTYPE_CHAINS = [(15, None), (16, "numpy dtype size budget of 65536")] if NUMPY_1 else [
    (64, None), (65, "numpy dtype nesting budget of 64")]


@pytest.mark.parametrize("levels, refusal", DTYPE_CHAINS)
def test_dtypes_nest_up_to_the_budget(levels, refusal):
    data = pickle_of(nested_dtype(levels))
    if refusal:
        with pytest.raises(pickle.UnpicklingError, match=refusal):
            safe_pickle.loads(data)
    else:
        made = safe_pickle.loads(data)
        assert made == pickle.loads(data) and made.itemsize == 1


# Two fields a level: a walk visits 2**levels nodes (4**levels on numpy 1.x).
WIDE_LEVELS = 7 if NUMPY_1 else 15


@pytest.mark.parametrize("levels, loads", [(WIDE_LEVELS, True), (WIDE_LEVELS + 1, False)])
def test_dtypes_sharing_fields_stay_within_the_size_budget(levels, loads):
    data = pickle_of(wide_dtype(levels))
    if loads:
        made = safe_pickle.loads(data)
        assert made == pickle.loads(data) and made.itemsize == 2**levels
    else:
        with pytest.raises(pickle.UnpicklingError, match="numpy dtype size budget of 65536"):
            safe_pickle.loads(data)


@pytest.mark.parametrize("keys", [1, 500])
def test_a_dtype_in_a_key_costs_its_walk(keys):
    # Keys (dtype, k) with a dtype of 21,845 to 65,535 nodes: 500 of them are
    # over the hashing budget of a small file (8 M visits), one is not.
    shared = wide_dtype(WIDE_LEVELS) + put(99) + POP
    ops = shared + EMPTY_DICT + b"".join(tup(get(99), num(k)) + b"N" + b"s" for k in range(keys))
    if keys == 1:
        assert len(safe_pickle.loads(pickle_of(ops))) == 1
    else:
        with pytest.raises(pickle.UnpicklingError, match="hashing work"):
            safe_pickle.loads(pickle_of(ops))


def test_dtype_helpers_make_what_numpy_pickles():
    # The assembler's dtype equals the one numpy's own pickle describes.
    assert safe_pickle.loads(pickle_of(dtype("i2", simple_state(">")))) == np.dtype(">i2")
