"""Fuzzes the side-file decoder with random pickle opcode streams (hypothesis):

    python fuzz/side_files.py [SECONDS]      # default 150

Streams are drawn from opcode fragments (numbers, text, containers, memo,
marks, allowed and refused globals, calls, states, numpy dtypes, arrays and
scalars) and from real pickles with bytes changed. Every stream must decode
or raise pickle.UnpicklingError without hanging (30 s), leaving numpy's
unsized dtypes as they were; a stream without globals must decode to what
pickle.loads gives, or fail where it fails. The decoder is loaded from the
source tree without the native module, so no build is needed. Prints the
figures of the run; exits non-zero on the first fault, with the stream.
"""

from __future__ import annotations

import io
import pickle
import resource
import signal
import sys
import time
import types
from collections import Counter
from pathlib import Path

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
package = types.ModuleType("vintrel")
package.__path__ = [str(ROOT / "src" / "vintrel")]
sys.modules["vintrel"] = package

from pickle_asm import (OBJECT, RECONSTRUCT, SCALAR, STRUCT_OF_OBJECT, array, call, dtype, get, glob, num,  # noqa: E402
                        put, raw, simple_state, text, tup)
from vintrel._safe_pickle import loads  # noqa: E402

SAMPLES = [{"data": [[[1.0, 2], [3, 4.5]]]}, [np.arange(6.0).reshape(2, 3), np.float32(1.5)], (b"x", "é", None, True),
           {frozenset({1}): {2, 3}}, np.zeros(2, [("a", ">i4"), ("b", "S3")]), [np.array(["ab"]), np.int8(3)] * 2,
           np.array([1, "a", None], dtype=object), np.array(["2020-01-02"], "M8[D]"), bytearray(b"ab"), 2 - 3j]
REAL = [pickle.dumps(value, protocol) for value in SAMPLES for protocol in range(6)]
GLOBALS = [glob("builtins", "set"), glob("builtins", "frozenset"), glob("__builtin__", "bytearray"),
           glob("builtins", "bytes"), glob("builtins", "complex"), glob("_codecs", "encode"),
           glob("collections", "OrderedDict"), glob("numpy", "dtype"), glob("numpy", "ndarray"), RECONSTRUCT, SCALAR,
           glob("numpy.core.numeric", "_frombuffer"), glob("numpy._core.multiarray", "scalar"), glob("os", "system"),
           glob("builtins", "getattr"), glob("numpy", "load")]
NUMPY = [dtype("f8", simple_state("<")), dtype("S3", simple_state("|", 3, 1, 0)),
         dtype("U2", simple_state("<", 8, 4, 8)),
         dtype("V4", simple_state("|", 4, 1, 0)), OBJECT, STRUCT_OF_OBJECT, dtype("i2", simple_state(">")),
         array((2,), dtype("u1", simple_state("|")), raw(b"ab")), array((), OBJECT, b"]Na"),
         call(SCALAR, dtype("f4", simple_state("<")), raw(b"\0\0\xc0?"))]
# Fragments without globals: what pickle.loads can be compared with.
PLAIN = [b"(", b"t", b")", b"]", b"}", b"\x8f", b"l", b"d", b"a", b"e", b"s", b"u", b"\x90", b"\x91", b"\x85", b"\x86",
         b"\x87", b"N", b"\x88", b"\x89", b"0", b"1", b"2", b"\x94", b"K\x07", b"M\xff\xff", b"J\xff\xff\xff\xff",
         b"I12\n", b"I01\n", b"L-5L\n", b"F1.5\n", b"G?\xf8\0\0\0\0\0\0", b"\x8a\x02\x01\x80", b"\x8b\x01\0\0\0\x7f",
         b"Vab\\u00e9\n", b"S'a\\x00'\n", b"U\x02hi", b"T\x01\0\0\0z", b"X\x02\0\0\0\xc3\xa9", b"\x8c\x01k",
         b"C\x02\0\xff", b"B\x01\0\0\0q", b"\x96\x01\0\0\0\0\0\0\0r", b"\x95\x00\0\0\0\0\0\0\0", b"\x80\x05"]

fragment = st.one_of(
    st.sampled_from(PLAIN),
    st.integers(0, 6).map(lambda key: b"h" + bytes([key])), st.integers(0, 6).map(lambda key: b"q" + bytes([key])),
    st.integers(0, 6).map(get), st.integers(0, 6).map(put),
    st.integers(-2**70, 2**70).map(num), st.text(max_size=6).map(text), st.binary(max_size=12).map(raw),
)
rich_fragment = st.one_of(fragment, st.sampled_from(GLOBALS), st.sampled_from(NUMPY),
                          st.sampled_from([b"R", b"b", b"\x81", b"\x92", b"\x93", b"c", b"P", b"\x97"]),
                          st.builds(tup, fragment, fragment), st.builds(call, st.sampled_from(GLOBALS), fragment))


@st.composite
def mutated(draw):
    data = bytearray(draw(st.sampled_from(REAL)))
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        action = draw(st.integers(0, 2))
        if action == 0 and at < len(data):
            data[at] = draw(st.integers(0, 255))
        elif action == 1:
            data[at:at] = draw(st.sampled_from(PLAIN + GLOBALS))
        else:
            del data[at:at + draw(st.integers(1, 8))]
    return bytes(data)


plain_stream = st.lists(fragment, max_size=40).map(lambda ops: b"\x80\x04" + b"".join(ops) + b".")
rich_stream = st.lists(rich_fragment, max_size=40).map(lambda ops: b"\x80\x04" + b"".join(ops) + b".")
stream = st.one_of(plain_stream, rich_stream, mutated(), st.binary(max_size=64))

figures: Counter[str] = Counter()
UNSIZED = [(code, np.dtype(code).itemsize) for code in ("S", "V", "U")]


VARIANTS = 8
# A hang, not a slow stream: the machine may be busy.
STALL_SECONDS = 30
slowest = [(0.0, 0)]


def variant(data: bytearray, rng) -> bytes:
    if not data:
        return bytes(data)
    at = rng.randrange(len(data))
    choice = rng.randrange(4)
    if choice == 0:
        data[at] = rng.randrange(256)
    elif choice == 1:
        del data[at:]
    elif choice == 2:
        end = min(len(data), at + rng.randrange(1, 16))
        data[at:at] = data[at:end] * rng.randrange(2, 6)
    else:
        data[at:at] = rng.choice(PLAIN + GLOBALS + NUMPY)
    return bytes(data)


class Stalled(Exception):
    pass


def stalled(signum, frame):
    raise Stalled


def outcome(call_it):
    try:
        return "value", call_it()
    except (pickle.UnpicklingError, EOFError) as error:
        return "refused", type(error).__name__
    except Exception as error:  # pickle.loads' own complaints
        return "error", type(error).__name__


def flat_dump(value):
    # Without the memo: whether two equal bytes or ints are one object or
    # two is the interpreter's business.
    out = io.BytesIO()
    pickler = pickle.Pickler(out, 5)
    pickler.fast = True
    pickler.dump(value)
    return out.getvalue()


def same(got, want):
    try:
        return type(got) is type(want) and flat_dump(got) == flat_dump(want)
    except (RecursionError, TypeError, ValueError, pickle.PicklingError):
        return repr(got) == repr(want)


def printed_error(kind, error, trace):
    # An error C code could only print (a buffer still exported when its
    # object died, say): a fault when the decoder was running.
    printed.append((running[0], f"{kind.__name__}: {error}"))
    sys.__excepthook__(kind, error, trace)


printed: list[tuple[str, str]] = []
running = [""]


def check(data):
    signal.alarm(STALL_SECONDS)
    started = time.perf_counter()
    running[0] = "decoder"
    try:
        kind, value = outcome(lambda: loads(data))
    except Stalled:
        print(f"stalled on {data!r}", file=sys.stderr)
        raise
    finally:
        signal.alarm(0)
        running[0] = "pickle.loads"
    if any(who == "decoder" for who, _ in printed):
        raise AssertionError(f"the decoder made C code print {printed} on {data!r}")
    printed.clear()
    slowest[0] = max(slowest[0], (time.perf_counter() - started, len(data)))
    figures["streams"] += 1
    figures[kind] += 1
    if kind == "error":
        raise AssertionError(f"the decoder raised {value}")
    assert [(code, np.dtype(code).itemsize) for code in ("S", "V", "U")] == UNSIZED, "an unsized dtype changed"
    if not any(op in data for op in (b"c", b"\x93", b"P", b"Q", b"i", b"o")):
        signal.alarm(STALL_SECONDS)
        try:
            expected = outcome(lambda: pickle.loads(data))
        finally:
            signal.alarm(0)
        if expected[0] == "value" and kind == "value":
            figures["compared"] += 1
            assert same(value, expected[1]), (value, expected[1])
        elif expected[0] == "value":
            figures["refused, pickle.loads decodes"] += 1


def cap_address_space(extra: int = 3 << 30) -> None:
    # pickle.loads, which streams are compared with, allocates what a length
    # in the stream asks for before reading it: such a stream must fail fast
    # with MemoryError rather than take the machine's memory.
    pages = int(Path("/proc/self/statm").read_text().split()[0])
    limit = pages * resource.getpagesize() + extra
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY or soft > limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))


def main() -> int:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 150
    cap_address_space()
    sys.excepthook = printed_error
    sys.unraisablehook = lambda hook: printed_error(hook.exc_type, hook.exc_value, hook.exc_traceback)
    signal.signal(signal.SIGALRM, stalled)
    started = time.monotonic()

    ends = started + seconds

    @settings(max_examples=100, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(stream, st.randoms(use_true_random=False))
    def fuzz(data, rng):
        # Each drawn stream, and a few with bytes changed, cut or repeated:
        # cheaper to make here than through the strategies.
        try:
            check(data)
            for _ in range(VARIANTS):
                check(variant(bytearray(data), rng))
        except Stalled:
            raise AssertionError(f"a stream took more than {STALL_SECONDS} s") from None

    rounds = 0
    while time.monotonic() < ends:
        fuzz()
        rounds += 1
    elapsed = time.monotonic() - started
    print(f"side-file decoder fuzz: {figures['streams']} streams in {elapsed:.0f} s ({rounds} rounds): "
          f"{figures['value']} decoded, {figures['refused']} refused; {figures['compared']} compared equal with "
          f"pickle.loads, {figures['refused, pickle.loads decodes']} refused where pickle.loads decodes; slowest "
          f"decode {slowest[0][0] * 1e3:.0f} ms ({slowest[0][1]} bytes); no fault")
    return 0


if __name__ == "__main__":
    sys.exit(main())
