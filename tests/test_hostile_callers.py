"""Callers that fight back: an __index__ that empties the list being read,
objects without native state, failing allocations, interrupts, odd keyword
names and paths. Whatever used to crash runs in a child interpreter."""

import os
import pathlib
import random
import signal
import subprocess
import sys

import pytest
import yaml

import vintrel
from child_process import SANITIZER
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=1, windows=2, samples=1)

CHILD = """
import ctypes, gc, os, pathlib, sys, vintrel
from operator import getitem
root, out = sys.argv[1:]
acq = vintrel.Acquisition(root)
alloc = ctypes.pythonapi.PyType_GenericAlloc
alloc.restype, alloc.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
bare, bare_it = alloc(vintrel.Acquisition, 0), alloc(type(iter(acq)), 0)  # tp_alloc alone: no native state

def emptied(n):  # n items; the first one's __index__ empties the list, freeing the others
    class Item:
        def __index__(self): items.clear(); return 0
    items = [Item() for _ in range(n)]
    return items

def outcome(call):  # the result or the exception, made into text by key() later
    try: return call()
    except BaseException as e: return e

def key(result):
    return f"{type(result).__name__}: {result}" if isinstance(result, BaseException) else repr(result)
"""


def child(code, acq_root, tmp_path, env=None):
    proc = subprocess.run([sys.executable, "-c", CHILD + code, str(acq_root), str(tmp_path)],
                          capture_output=True, text=True, timeout=300, env={**os.environ, **(env or {})})
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.strip()


@pytest.fixture
def root(make_acq):
    events = [merrowv3.sample_event(PARAMS, random.Random(i)) for i in range(4)]
    events[2] = b"\x01"  # cannot be parsed
    return make_acq(PARAMS, events, side_files={"pedestals_calibration": {"data": [[[1.0], [2.0]]]}})


@pytest.mark.parametrize("call", ["vintrel.ecc_check", "vintrel.ecc_correct",
                                  "lambda indices: vintrel.export_csv(acq, indices, out, False)"])
def test_a_list_emptied_while_converted_is_read_as_it_was(root, tmp_path, call):
    code = f"f = {call}\nprint(key(outcome(lambda: f(emptied(2000)))) == key(outcome(lambda: f([0] * 2000))))"
    assert child(code, root, tmp_path) == "True"


@pytest.mark.parametrize("expr,raised", [(e, "PanicException") for e in (
    "bare.is_valid", "bare.path", "bare.name", "bare.chunk_count", "bare.metadata", "bare.params",
    "bare.readout_metadata", "bare.raw_event(0)", "bare.parsed_event(0)", "len(bare)", "bare[0]", "bare[:1]",
    "iter(bare)", "next(bare_it)", "next(type(bare_it)(bare))", "vintrel.export_csv(bare, [0], out, False)",
    "bare.__enter__()", "bare.__exit__()", "bare._repr_html_() and bare.__exit__()",
)] + [("repr(bare)", "str")] + [(e, "TypeError") for e in (
    "setattr(vintrel.Acquisition, '__new__', lambda *a: bare)", "setattr(type(bare_it), '__new__', None)",
    "vintrel.Acquisition()", "type(bare_it)()",
)] + [("memoryview(alloc(type(acq.arrays().data.base.obj), 0))", "BufferError")])
def test_types_are_sealed_and_objects_without_state_refused(root, tmp_path, expr, raised):
    code = f"print(type(outcome(lambda: {expr})).__name__)\ndel bare, bare_it; gc.collect()"
    assert child(code, root, tmp_path) == raised


SWEEP = """
import _testcapi, zlib
call = lambda: {expr}
outcome(call)
want = key(outcome(call))
def failing(start, stop):
    gc.collect()
    _testcapi.set_nomemory(start, stop)
    try: return outcome(call)
    finally: _testcapi.remove_mem_hooks()
def sound(result):
    # zlib reports its own failed allocations as zlib.error; the interpreter
    # loses an exception it is unwinding with this message (also for [].pop()).
    return (isinstance(result, (MemoryError, zlib.error)) or key(result) == want
            or key(result) == "SystemError: error return without exception set")
start = 0
while True:  # fail allocation `start` alone, then every one from `start` on, until the call needs no more
    alone, onwards = failing(start, start + 1), failing(start, 0)
    assert sound(alone) and sound(onwards), (start, key(alone), key(onwards), want)
    if key(onwards) == want: break
    start += 1
print("swept", start)
"""


# Slots are reached through builtins (getattr, getitem, len), which report a
# slot's NULL without an exception as a SystemError of their own.
@pytest.mark.parametrize("expr", [
    "vintrel.Acquisition(pathlib.Path(root)).path",
    "[getattr(acq, name) for name in ('is_valid', 'path', 'name', 'chunk_count', 'metadata', 'params',"
    " 'readout_metadata', 'pedestals_calibration')]",
    "(len(acq), acq.raw_event(1), acq.parsed_event(index=1))",
    "(getitem(acq, 1), getitem(acq, slice(0, 4, 3)))", "getitem(acq, 2)", "getitem(acq, 9)", "list(acq)",
    "acq.raw_event(-1)",
    "(vintrel.is_acquisition(root), [a.name for a in vintrel.list_acquisitions(os.path.dirname(root))])",
    "vintrel.export_csv(acq, [0, 1], out, True)",
    "vintrel.export_csv(acq, slice(0, 4, 3), out, False)",
    "(repr(acq), acq.__enter__() is acq, acq.__exit__(None, None, None), len(acq))",
    "(vintrel.syndrome(5), vintrel.global_parity(data=7), vintrel.syndrome_to_index([1, 0, 1, 0]),"
    " vintrel.ecc_check([0, 0]), vintrel.ecc_correct(bytearray(2)))",
    # A comprehension, not a lambda: Python 3.12 and 3.13 crash making a
    # function when that allocation fails (3.12+ inlines comprehensions).
    "[(a.index.tolist(), a.data.tolist(), a.time.tolist(), a.errors) for a in [acq.arrays([0, 2, 1, 9], True)]]",
])
@pytest.mark.skipif(sys.version_info < (3, 11), reason="Python 3.10 allocates a frame object for every Python "
                    "call, so the sweep's own calls fail before reaching the call under test")
def test_failing_allocations_give_memory_error_or_the_right_answer(root, tmp_path, expr):
    pytest.importorskip("_testcapi", reason="this interpreter has no _testcapi.set_nomemory")
    assert child(SWEEP.format(expr=expr), root, tmp_path).startswith("swept")


ADDRESS_SWEEP = """
import resource
call = lambda: {expr}
want = key(outcome(call))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
def limited(headroom):  # the call with `headroom` bytes of address space left to the process
    gc.collect()
    used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (used + headroom, hard))
    try: return outcome(call)
    finally: resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
headroom = 0
while key(result := limited(headroom)) != want:
    assert isinstance(result, MemoryError), (headroom, key(result))
    headroom += 1 << 16
print("swept", headroom)
"""


# The native code's own allocations fail too (in the export, on the pool's
# thread, which is the caller's own with one worker).
@pytest.mark.parametrize("expr", [
    "acq[0:len(acq)]",
    "vintrel.export_csv(acq, range(len(acq)), out, False) or open(f'{out}/big (chunk 0).csv', 'rb').read()",
    "acq.arrays().data.tobytes()",
    "vintrel.ecc_check((b'\\x01\\x00' + bytes(1998)) * 393 + bytes(842))",  # a full block, failing words in every region
])
@pytest.mark.skipif(SANITIZER, reason="the sanitizer's runtime reserves more address space than any limit")
def test_address_space_exhausted_gives_memory_error_or_the_right_answer(make_acq, tmp_path, expr):
    params = merrowv3.sample_params(channels=4, windows=64, samples=64)
    root = make_acq(params, [merrowv3.sample_event(params, random.Random(i)) for i in range(8)], name="big")
    out = child(ADDRESS_SWEEP.format(expr=expr), root, tmp_path, env={"RAYON_NUM_THREADS": "1"})
    assert out.startswith("swept") and int(out.split()[1]) > 0


@pytest.mark.parametrize("failure", [ValueError, MemoryError, KeyboardInterrupt, SystemExit])
def test_list_acquisitions_leaves_out_only_entries_that_fail_ordinarily(make_acq, tmp_path, monkeypatch, failure):
    for name in "abc":
        make_acq(PARAMS, name=name)

    def fail(stream, loader):  # while the second entry is read
        if failure is KeyboardInterrupt:
            signal.raise_signal(signal.SIGINT)  # as Ctrl-C would
        raise failure

    vintrel.list_acquisitions(tmp_path)  # the module's one-time YAML probe runs before the patch
    loads = iter([yaml.load, fail, yaml.load])
    monkeypatch.setattr(yaml, "load", lambda stream, loader: next(loads)(stream, loader))
    if failure is ValueError:
        assert len(vintrel.list_acquisitions(tmp_path)) == 2
    else:
        pytest.raises(failure, vintrel.list_acquisitions, tmp_path)


class Raises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class OwnPath(type(pathlib.Path())):
    def __fspath__(self):
        return self.target


def own_path(target):
    path = OwnPath("not/the/path")
    path.target = target
    return path


@pytest.mark.parametrize("call,expected", [
    (lambda acq: acq[Raises(ZeroDivisionError("x"))], ZeroDivisionError("x")),
    (lambda acq: acq[Raises(KeyboardInterrupt())], KeyboardInterrupt()),
    (lambda acq: acq[Raises(TypeError("x"))], TypeError("index must be an int or a slice")),
    (lambda acq: acq[Raises(OverflowError("x"))], TypeError("index must be an int or a slice")),
    (lambda acq: vintrel.syndrome(**{"data\0x": 5}), TypeError("syndrome() got an unexpected keyword argument "
                                                              "'data\0x'")),
    (lambda acq: vintrel.is_acquisition(1, 2), TypeError("is_acquisition() takes 1 positional argument but 2 were given")),
    (lambda acq: vintrel.list_acquisitions(1, root_dir=1), TypeError("list_acquisitions() got multiple values for "
                                                                     "argument 'root_dir'")),
    (lambda acq: vintrel.Acquisition("a\0b"), ValueError("argument 'root': embedded null byte")),
    (lambda acq: vintrel.ecc_check(type("Seq", (), {"__getitem__": lambda s, i: len(5)})()),
     TypeError("argument 'raw_bytes': object of type 'int' has no len()")),
    (lambda acq: vintrel.export_csv(acq, [0], ".", False, 5),
     TypeError("export_csv() takes 4 positional arguments but 5 were given")),
    (lambda acq: vintrel.Acquisition(own_path(acq.path)).path == acq.path, True),
    (lambda acq: vintrel.Acquisition(own_path(os.fsencode(acq.path))).path == acq.path, True),
    (lambda acq: vintrel.Acquisition(own_path(3)), TypeError("argument 'root': expected OwnPath.__fspath__() to "
                                                             "return str or bytes, not int")),
    (lambda acq: vintrel.is_acquisition(type("PathLike", (), {"__fspath__": lambda s: acq.path})()), True),
    (lambda acq: vintrel.is_acquisition(type("NotPathLike", (), {"__fspath__": None})()),
     TypeError("argument 'path': expected str or os.PathLike, not NotPathLike")),
    (lambda acq: vintrel.is_acquisition(os.fsencode(acq.path)),
     TypeError("argument 'path': expected str or os.PathLike, not bytes")),
    (lambda acq: {getattr(vintrel, name).__module__ for name in vintrel.__all__}, {"vintrel"}),
])
def test_arguments_are_read_as_python_reads_them(root, call, expected):
    acq = vintrel.Acquisition(root)
    if isinstance(expected, BaseException):
        with pytest.raises(type(expected)) as info:
            call(acq)
        assert info.value.args == expected.args
    else:
        assert call(acq) == expected
