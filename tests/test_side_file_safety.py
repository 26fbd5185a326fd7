"""Side files load plain data as pickle.loads does, and refuse anything that would run code."""

import copyreg
import os
import pickle
import re
import subprocess
import sys
from collections import OrderedDict

import numpy as np
import pytest

import acqwriter
import vintrel
from vintrel._safe_pickle import loads

PARAMS = {"model": "merrowv3", "channels": 4, "windows": 8, "samples": 64}
STRUCT = np.dtype([("a", ">i4"), (("title", "b"), "O"), ("c", "f4", (2,))], align=True)
PLAIN = [None, -2**70, 2 - 3j, "é", b"", b"\0\xff", bytearray(b"ab"), {1, 2}, frozenset("x"), OrderedDict(b=1, a=[2]),
         {"data": [[[1.0, 2], [3, 4.5]]], "nested": {frozenset({1}): ([True], (b"x",))}},
         [{0: i, 1.0: None, (1, 2): {frozenset({3})}} for i in range(300)]]
NUMPY = [np.arange(6.0).reshape(2, 3), np.asfortranarray(np.arange(6, dtype=">i2").reshape(2, 3)), np.array(7),
         np.array([1, "a", None, [np.int8(3)]], dtype=object), np.zeros(2, STRUCT), np.arange(10)[::3], np.array(["ab"]),
         np.array(["2020-01-02"], "M8[D]"), STRUCT, np.dtype("f8", metadata={"unit": "mV"}), np.float32(1.5),
         np.bool_(True), np.str_("é"), np.datetime64(1, "s"), np.zeros(1, STRUCT)[0],
         np.array([np.arange(3), (1, 2), {"a": [None]}, np.zeros((2, 2))], dtype=object),
         {"shared": [np.zeros(2, ">f8")] * 2, "od": OrderedDict(x=np.ones(3))}]
CODES = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", "f8", "g", "c8", "c16", "G", "S3", "U3", "V4",
         ">i4", ">f8", ">c16", ">U2", "m8[ns]", ">M8[s]", [("x", "<i2"), ("y", "S3")],
         [("a", "u1"), ("b", ">f8", (2, 2))],
         np.dtype({"names": ["p", "q"], "formats": ["i1", "f4"], "offsets": [4, 0], "itemsize": 12}, align=True),
         [("outer", [("inner", "u2"), ("t", "m8[D]")]), ("z", "c8")]]


def numpy_values(code):
    dtype = np.dtype(code)
    items = np.frombuffer(bytes(range(256)) * (6 * dtype.itemsize // 256 + 1), dtype, 6)
    grid = items.reshape(2, 3)
    return [items, np.asfortranarray(grid), grid.T, items[::2], items[:0], items.reshape(2, 1, 3)[:, :, 1],
            np.array(items[0]), items[0], items[5], [items[1]] * 2, dtype]


RECIPE = re.escape("load it with gzip and pickle: pickle.loads(gzip.decompress(open(path, 'rb').read()))")
RECONSTRUCT, FROMBUFFER = np.arange(2).__reduce__()[0], np.arange(2).__reduce_ex__(5)[0]


class Reduce:
    def __init__(self, *reduce):
        self.reduce = reduce

    def __reduce__(self):
        return self.reduce


def crafted_dtype(offset, flags):
    return Reduce(np.dtype, ("V8", False, True), (3, "|", None, ("a",), {"a": (np.dtype("O"), offset)}, 8, 1, flags))


# payload(path) -> what the refusal names; True where pickle.loads would create the file at path.
REFUSED = {
    "system": (lambda p: Reduce(os.system, (f"touch '{p}'",)), r"\.system'", True),
    "eval": (lambda p: Reduce(eval, (f"open({str(p)!r}, 'w')",)), r"\.eval'", True),
    "getattr": (lambda p: Reduce(getattr, ("os", "system")), r"\.getattr'", False),
    "popen": (lambda p: Reduce(subprocess.Popen, (["touch", str(p)],)), r"\.Popen'", True),
    "instance": (lambda p: Reduce(copyreg._reconstructor, (Reduce, object, None)), "_reconstructor'", False),
    "ndarray_of_raw_pointers": (lambda p: Reduce(np.ndarray, ((1,), np.dtype("O"), b"\1" * 8)), "numpy.ndarray", False),
    "unflagged_object_field": (lambda p: crafted_dtype(0, 0), "numpy dtype state", False),
    "field_beyond_item": (lambda p: crafted_dtype(1 << 40, 27), "numpy dtype state", False),
    "array_subclass": (lambda p: Reduce(RECONSTRUCT, (np.ma.MaskedArray, (0,), b"b")), "MaskedArray'", False),
    "view_of_an_array": (lambda p: Reduce(FROMBUFFER, (np.arange(2), np.dtype(int), (2,), "C")), "_frombuffer", False),
}


def side_file(make_acq, value, protocol):
    root = make_acq(PARAMS)
    acqwriter.write_side_file(root, "timing_calibration", value, protocol)
    return vintrel.Acquisition(root).timing_calibration


def same(got, want):
    return type(got) is type(want) and pickle.dumps(got, 5) == pickle.dumps(want, 5)


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("value", PLAIN + NUMPY, ids=lambda v: type(v).__name__)
def test_data_loads_as_pickle_loads_gives_it(make_acq, value, protocol):
    assert same(side_file(make_acq, value, protocol), pickle.loads(pickle.dumps(value, protocol)))


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("code", CODES, ids=str)
def test_numpy_arrays_and_scalars_of_every_accepted_dtype_load_as_pickle_loads_gives_them(code, protocol):
    for value in numpy_values(code):
        data = pickle.dumps(value, protocol)
        assert same(loads(data), pickle.loads(data)), value


@pytest.mark.parametrize("protocol", range(4))
def test_the_other_numpy_major_versions_names_load(protocol):
    data = pickle.dumps([np.arange(3.0), np.float32(2), Reduce(FROMBUFFER, (b"\1\0", np.dtype("<i2"), (1,), "C"))],
                        protocol)
    names = [b"numpy._core.", b"numpy.core."][:: 1 if b"numpy._core." in data else -1]
    assert same(loads(data.replace(*names)), pickle.loads(data))


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("case", REFUSED)
def test_code_and_raw_memory_access_are_refused(make_acq, tmp_path, case, protocol):
    ran = tmp_path / "ran"
    payload, named, runs_code = REFUSED[case]
    with pytest.raises(pickle.UnpicklingError, match=f"{named}.* is not allowed in a side file; .*{RECIPE}"):
        side_file(make_acq, payload(ran), protocol)
    assert not ran.exists()
    if runs_code:  # as pickle.loads would
        getattr(pickle.loads(pickle.dumps(payload(ran), protocol)), "wait", lambda: None)()
        assert ran.exists()


def test_persistent_ids_are_refused():
    with pytest.raises(pickle.UnpicklingError, match="persistent ID"):
        loads(b"Pid\n.")


def test_plain_side_files_leave_numpy_unimported(make_acq):
    root = make_acq(PARAMS, side_files={"readout_metadata": {"a": {1, 2}}})
    code = f"import sys, vintrel; print(vintrel.Acquisition({str(root)!r}).readout_metadata, 'numpy' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["{'a':", "{1,", "2}}", "False"]


@pytest.mark.parametrize("data", [b"F4.\0x\n.", b"I12\0x\n.", b"L7\0L\n.", b"I01\n.", b"(I1\nI2\n.", b"N(N\x8f."],
                         ids=["float_to_nul", "int_to_nul", "long_to_nul", "bool", "value_above_a_mark", "mark_below"])
def test_odd_but_valid_pickles_read_as_pickle_loads_reads_them(data):
    assert same(loads(data), pickle.loads(data))
