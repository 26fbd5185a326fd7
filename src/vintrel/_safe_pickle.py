"""Decodes pickled side files without running code from them.

A side file comes with the acquisition, possibly from someone else, and a
pickle may name any importable callable for `pickle.loads` to call. This
decoder reads the pickle opcodes itself, and every step is data: a global is
one of the few names the picklers write for builtin containers and scalars,
`collections.OrderedDict` and numpy values, looked up in a table and never
imported; calling one builds that kind of value from checked arguments
(numpy values by `_side_numpy`, from validated pieces); a state is applied
only to a numpy dtype or array made in this load and awaiting it, by making
a new one. Allocations, the work of hashing keys and the depth of hashed
keys are held to the file's budgets (`_side_limits`). Anything else raises
`pickle.UnpicklingError` naming it.
"""

from __future__ import annotations

import _codecs
import pickle
import re
import struct
from functools import lru_cache
from itertools import chain
from collections import OrderedDict
from typing import Any, Callable

from . import _side_numpy
from ._side_limits import SET_SLOT, Budget, malformed, over_budget, refusal

__all__ = ["loads"]

HIGHEST_PROTOCOL = 5
# As int() allows by default since Python 3.11: converting longer decimal text
# takes time quadratic in its length.
_MAX_DIGITS = 4300

_ENCODERS: dict[object, Callable[[str], tuple[bytes, int]]] = {
    "latin1": _codecs.latin_1_encode, "latin-1": _codecs.latin_1_encode, "utf-8": _codecs.utf_8_encode,
    "utf8": _codecs.utf_8_encode, "ascii": _codecs.ascii_encode}


class _Global:
    """A global the file named; calling it (REDUCE, NEWOBJ) runs `call`."""

    __slots__ = ("name", "call")

    def __init__(self, name: str, call: Callable[[Decoder, object], object]) -> None:
        self.name = name
        self.call = call

    def __repr__(self) -> str:
        return f"<{self.name}, as named in a side file>"


def _encoded(budget: Budget, text: object, encoding: object) -> bytes:
    encode = _ENCODERS.get(encoding) if type(encoding) is str else None
    if type(text) is not str or encode is None:
        raise refusal("encoding other than of text to latin-1, UTF-8 or ASCII")
    budget.allocate(len(text) * (4 if encode is _codecs.utf_8_encode else 1))
    try:
        return encode(text)[0]
    except UnicodeEncodeError as error:
        raise malformed("text that its encoding cannot represent") from error


def _byte_string(kind: type, decoder: Decoder, args: object) -> object:
    if type(args) is not tuple or len(args) > 2:
        raise refusal(f"{kind.__name__} of anything but bytes or text")
    if not args:
        return kind()
    source = args[0]
    if len(args) == 2:
        source = _encoded(decoder.budget, source, args[1])
    elif type(source) is int and source >= 0:
        decoder.budget.allocate(source)
    elif type(source) in (bytes, bytearray):
        decoder.budget.allocate(len(source))  # a copy, which the memo lets a file ask for again and again
    else:
        raise refusal(f"{kind.__name__} of anything but bytes or text")
    return kind(source)


def _codecs_encode(decoder: Decoder, args: object) -> object:
    # Protocols 0-2 write bytes as _codecs.encode(<text>, 'latin1').
    if type(args) is not tuple or len(args) != 2:
        raise refusal("_codecs.encode other than of text to a byte encoding")
    return _encoded(decoder.budget, *args)


def _set_of(kind: type, decoder: Decoder, args: object) -> object:
    if type(args) is not tuple or len(args) > 1 or args and type(args[0]) not in (list, tuple, set, frozenset):
        raise refusal(f"{kind.__name__} of anything but a list")
    if not args:
        return kind()
    decoder.budget.allocate(len(args[0]) * SET_SLOT)
    decoder.budget.check_keys(args[0])
    return kind(args[0])


def _complex(decoder: Decoder, args: object) -> object:
    if type(args) is not tuple or len(args) > 2 or any(type(part) not in (int, float) for part in args):
        raise refusal("complex of anything but numbers")
    try:
        return complex(*args)
    except OverflowError as error:
        raise malformed("complex part beyond a float") from error


def _ordered_dict(decoder: Decoder, args: object) -> object:
    if args != ():
        raise refusal("OrderedDict of anything but no arguments")
    return OrderedDict()


def _array_class(decoder: Decoder, args: object) -> object:
    raise refusal("a call of numpy.ndarray")


def _numpy_dtype(decoder: Decoder, args: object) -> object:
    made = _side_numpy.dtype_from_args(args, decoder.budget)
    decoder.awaiting_state[id(made)] = [made]
    return made


def _reconstruct(decoder: Decoder, args: object) -> object:
    made = _side_numpy.empty_array(args, _ARRAY_CLASS, decoder.budget)
    decoder.awaiting_state[id(made)] = [made]
    return made


def _scalar(decoder: Decoder, args: object) -> object:
    return _side_numpy.scalar(args, decoder.scalar_decoders, decoder.budget)


def _frombuffer(decoder: Decoder, args: object) -> object:
    return _side_numpy.frombuffer(args, decoder.budget)


_ARRAY_CLASS = _Global("numpy.ndarray", _array_class)
_BUILTINS = {
    ("builtins", "set"): _Global("set", lambda d, a: _set_of(set, d, a)),
    ("builtins", "frozenset"): _Global("frozenset", lambda d, a: _set_of(frozenset, d, a)),
    ("builtins", "bytearray"): _Global("bytearray", lambda d, a: _byte_string(bytearray, d, a)),
    ("builtins", "bytes"): _Global("bytes", lambda d, a: _byte_string(bytes, d, a)),
    ("builtins", "complex"): _Global("complex", _complex),
    ("_codecs", "encode"): _Global("_codecs.encode", _codecs_encode),
    ("collections", "OrderedDict"): _Global("collections.OrderedDict", _ordered_dict),
}
# What NEWOBJ may make: classes whose construction from arguments is the call above.
_CLASSES = frozenset(["set", "frozenset", "bytearray", "bytes", "complex", "collections.OrderedDict"])
# Protocols 0-2 name the builtins module by its Python 2 name.
_MODULE_ALIASES = {"__builtin__": "builtins"}
# numpy 1.x writes numpy.core, numpy 2.x numpy._core; either loads with either.
_NUMPY = {("numpy", "dtype"): _Global("numpy.dtype", _numpy_dtype), ("numpy", "ndarray"): _ARRAY_CLASS}
for _core in ("core", "_core"):
    _NUMPY[(f"numpy.{_core}.multiarray", "_reconstruct")] = _Global("numpy _reconstruct", _reconstruct)
    _NUMPY[(f"numpy.{_core}.multiarray", "scalar")] = _NUMPY.get(("numpy.core.multiarray", "scalar"),
                                                                 _Global("numpy scalar", _scalar))
    _NUMPY[(f"numpy.{_core}.numeric", "_frombuffer")] = _Global("numpy _frombuffer", _frombuffer)

_SCALAR = _NUMPY[("numpy._core.multiarray", "scalar")]
_SCALAR_TAIL = b"\x94\x86\x94R\x94"  # MEMOIZE TUPLE2 MEMOIZE REDUCE MEMOIZE
_FLOAT = struct.Struct(">d")
_SIZES = {1: struct.Struct("<B"), 2: struct.Struct("<H"), 4: struct.Struct("<I"), 8: struct.Struct("<Q")}
_I4 = struct.Struct("<i")
# Runs of BINFLOAT opcodes (lists of floats) are decoded at once.
_FLOAT_RUN = re.compile(rb"(?:G[\x00-\xff]{8}){2,1000}")


@lru_cache(maxsize=1000)
def _float_run(count: int) -> struct.Struct:
    return struct.Struct(">" + "xd" * count)


class Decoder:
    """The state of one load: stack, memo, budget, what awaits a state."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0
        self.stack: list[Any] = []
        self.marks: list[int] = []
        self.memo: dict[int, Any] = {}
        self.budget = Budget(len(data))
        self.proto = 0
        # id -> [object, memo keys holding it]: dtypes and arrays made by this
        # load that a BUILD may replace by their state made anew.
        self.awaiting_state: dict[int, list[Any]] = {}
        self.scalar_decoders: dict[int, Any] = {}
        self.scalar_runs: dict[bytes, re.Pattern[bytes]] = {}

    # --- reading ----------------------------------------------------------

    def take(self, n: int) -> bytes:
        start, end = self.pos, self.pos + n
        if end > len(self.data) or n < 0:
            raise malformed("pickle data was truncated")
        self.pos = end
        return self.data[start:end]

    def line(self) -> bytes:
        end = self.data.find(b"\n", self.pos)
        if end < 0:
            raise malformed("pickle data was truncated")
        start, self.pos = self.pos, end + 1
        return self.data[start:end]

    def size(self, width: int) -> int:
        n: int = _SIZES[width].unpack(self.take(width))[0]
        return n

    def pop_mark(self) -> list[Any]:
        if not self.marks:
            raise malformed("could not find MARK")
        start = self.marks.pop()
        items = self.stack[start:]
        del self.stack[start:]
        return items

    def pop(self) -> Any:
        if not self.stack or len(self.stack) <= (self.marks[-1] if self.marks else -1):
            raise malformed("unpickling stack underflow")
        return self.stack.pop()

    def top(self) -> Any:
        if not self.stack or len(self.stack) <= (self.marks[-1] if self.marks else -1):
            raise malformed("unpickling stack underflow")
        return self.stack[-1]

    def memoize(self, key: int) -> None:
        value = self.top()
        self.memo[key] = value
        if self.awaiting_state:
            entry = self.awaiting_state.get(id(value))
            if entry is not None and entry[0] is value:
                entry.append(key)

    def recall(self, key: int) -> None:
        try:
            self.stack.append(self.memo[key])
        except KeyError:
            raise malformed(f"memo value not found at index {key}") from None

    # --- the loop ---------------------------------------------------------

    def load(self) -> Any:
        data, stack, memo = self.data, self.stack, self.memo
        push = stack.append
        handlers = _HANDLERS
        end = len(data)
        pos = 0
        while True:
            if pos >= end:
                raise malformed("pickle data was truncated")
            op = data[pos]
            pos += 1
            # The opcodes of lists of numbers and of numpy scalars, inline.
            if op == 0x94:  # MEMOIZE
                if not stack:
                    raise malformed("unpickling stack underflow")
                key = len(memo)
                memo[key] = stack[-1]
                if self.awaiting_state:
                    self.pos = pos
                    self.memoize(key)
            elif op == 0x68 and pos < end:  # BINGET
                if data[pos + 1:pos + 2] == b"h" and data[pos + 3:pos + 4] == b"C":
                    after = self.scalar_run(pos - 1)
                    if after:
                        pos = after
                        continue
                value = memo.get(data[pos])
                if value is None and data[pos] not in memo:
                    raise malformed(f"memo value not found at index {data[pos]}")
                push(value)
                pos += 1
            elif op == 0x43 and pos < end:  # SHORT_BINBYTES
                n = data[pos]
                if pos + 1 + n > end:
                    raise malformed("pickle data was truncated")
                push(data[pos + 1:pos + 1 + n])
                pos += 1 + n
            elif op == 0x86 and len(stack) >= 2 and (not self.marks or self.marks[-1] <= len(stack) - 2):  # TUPLE2
                second = stack.pop()
                stack[-1] = (stack[-1], second)
            elif op == 0x52 and len(stack) >= 2 and (not self.marks or self.marks[-1] <= len(stack) - 2):  # REDUCE
                args = stack.pop()
                function = stack[-1]
                if type(function) is not _Global:
                    raise refusal(f"a call of {type(function).__name__}")
                self.pos = pos
                stack[-1] = function.call(self, args)
                pos = self.pos
            elif op == 0x47:  # BINFLOAT, and the run it may start
                run = _FLOAT_RUN.match(data, pos - 1)
                if run is not None:
                    stack.extend(_float_run((run.end() - pos + 1) // 9).unpack_from(data, pos - 1))
                    pos = run.end()
                elif pos + 8 <= end:
                    push(_FLOAT.unpack_from(data, pos)[0])
                    pos += 8
                else:
                    raise malformed("pickle data was truncated")
            elif op == 0x2E:  # STOP
                self.pos = pos
                return self.finish()
            else:
                handler = handlers[op]
                if handler is None:
                    raise malformed(f"invalid load key, '{chr(op)}'")
                self.pos = pos
                handler(self)
                pos = self.pos

    def scalar_run(self, start: int) -> int:
        """Decodes at once a run of numpy scalars of one dtype as protocols 4
        and 5 write them (BINGET scalar, BINGET dtype, SHORT_BINBYTES, TUPLE2,
        REDUCE, each result memoized), once the first of its kind was decoded
        step by step; returns where the run ends, or 0 where none starts."""
        data, memo = self.data, self.memo
        if start + 6 > len(data):
            return 0
        dtype, size = memo.get(data[start + 3]), data[start + 5]
        if memo.get(data[start + 1]) is not _SCALAR or data[start + 6 + size:start + 11 + size] != _SCALAR_TAIL:
            return 0
        known = self.scalar_decoders.get(id(dtype))
        if known is None or known[0] is not dtype:
            return 0
        head = data[start:start + 6]
        runs = self.scalar_runs.get(head)
        if runs is None:
            runs = self.scalar_runs[head] = re.compile(b"(?:%s[\x00-\xff]{%d}%s)+" % (
                re.escape(head), size, re.escape(_SCALAR_TAIL)))
        found = runs.match(data, start)
        if found is None:
            return 0
        raws = [data[at:at + size] for at in range(start + 6, found.end(), 11 + size)]
        values = _side_numpy.scalars(dtype, b"".join(raws), len(raws))
        first = len(memo)
        memo.update(zip(range(first, first + 3 * len(raws)),
                        chain.from_iterable(zip(raws, [(dtype, raw) for raw in raws], values))))
        self.stack.extend(values)
        return found.end()

    def finish(self) -> Any:
        # As pickle does: the value on top, whatever lies beneath it.
        return self.pop()

    # --- making values ----------------------------------------------------

    def set_items(self, target: Any, items: list[Any]) -> None:
        if len(items) % 2:
            raise malformed("odd number of items for SETITEMS")
        if type(target) is not dict and type(target) is not OrderedDict:
            raise refusal(f"setting items of {type(target).__name__}")
        keys = items[0::2]
        self.budget.check_keys(keys, target)
        if len(keys) == 1:
            target[keys[0]] = items[1]
        else:
            target.update(zip(keys, items[1::2]))

    def build(self) -> None:
        state = self.pop()
        inst = self.top()
        entry = self.awaiting_state.pop(id(inst), None)
        if entry is None or entry[0] is not inst:
            raise refusal(f"setting the state of {type(inst).__name__}")
        if isinstance(inst, _side_numpy.np.dtype):
            built = _side_numpy.dtype_from_state(inst, state, self.budget)
        else:
            built = _side_numpy.array_from_state(state, self.budget)
        self.stack[-1] = built
        for key in entry[1:]:
            if self.memo.get(key) is inst:
                self.memo[key] = built

    def find_global(self, module: str, name: str) -> _Global:
        key = (_MODULE_ALIASES.get(module, module), name)
        found = _BUILTINS.get(key)
        if found is None:
            found = _NUMPY.get(key)
            if found is None:
                raise refusal(f"global '{module[:200]}.{name[:200]}'")
            _side_numpy.load()
        return found

    def new_object(self, cls: object, args: object, kwargs: object = None) -> None:
        if kwargs:
            raise refusal("keyword arguments to a class")
        if type(cls) is not _Global or cls.name not in _CLASSES:
            raise refusal(f"a new object of {getattr(cls, 'name', type(cls).__name__)}")
        self.stack.append(cls.call(self, args))


def _number_text(line: bytes) -> bytes:
    # pickle reads a number's text up to the line's end or a NUL byte.
    return line.split(b"\0", 1)[0]


def _text_int(line: bytes) -> int:
    digits = _number_text(line).strip().rstrip(b"L")
    if len(digits.lstrip(b"+-")) > _MAX_DIGITS:
        raise over_budget("digits of a decimal number", _MAX_DIGITS)
    try:
        return int(digits)
    except ValueError as error:
        raise malformed("invalid decimal number") from error


def _quoted(line: bytes) -> bytes:
    if len(line) < 2 or line[0] != line[-1] or line[:1] not in (b"'", b'"'):
        raise malformed("the STRING opcode argument must be quoted")
    return _codecs.escape_decode(line[1:-1])[0]


def _ascii(data: bytes) -> str:
    try:
        return data.decode("ascii")
    except UnicodeDecodeError as error:
        raise malformed("a Python 2 string that is not ASCII") from error


def _utf8(data: bytes) -> str:
    try:
        return _codecs.utf_8_decode(data, "surrogatepass", True)[0]
    except UnicodeDecodeError as error:
        raise malformed("text that is not UTF-8") from error


def _proto(d: Decoder) -> None:
    d.proto = d.take(1)[0]
    if d.proto > HIGHEST_PROTOCOL:
        raise malformed(f"unsupported pickle protocol: {d.proto}")


def _frame(d: Decoder) -> None:
    d.size(8)  # frames only group opcodes; the data is all there


def _persistent(d: Decoder) -> None:
    raise refusal("a persistent ID")


def _buffer(d: Decoder) -> None:
    raise refusal("an out-of-band buffer")


def _extension(d: Decoder) -> None:
    raise refusal("an extension code")


def _instance(d: Decoder) -> None:
    raise refusal("an instance of a class (INST, OBJ)")


def _mark(d: Decoder) -> None:
    d.marks.append(len(d.stack))


def _pop(d: Decoder) -> None:
    if d.marks and d.marks[-1] == len(d.stack):
        d.marks.pop()
    else:
        d.pop()


def _tuple_n(n: int) -> Callable[[Decoder], None]:
    def handler(d: Decoder) -> None:
        if len(d.stack) < n or d.marks and d.marks[-1] > len(d.stack) - n:
            raise malformed("unpickling stack underflow")
        items = tuple(d.stack[len(d.stack) - n:])
        del d.stack[len(d.stack) - n:]
        d.stack.append(items)

    return handler


def _append(d: Decoder) -> None:
    value = d.pop()
    _extend(d, d.top(), [value])


def _appends(d: Decoder) -> None:
    items = d.pop_mark()
    _extend(d, d.top(), items)


def _extend(d: Decoder, target: Any, items: list[Any]) -> None:
    if type(target) is not list:
        raise refusal(f"appending to {type(target).__name__}")
    target.extend(items)


def _setitem(d: Decoder) -> None:
    value, key = d.pop(), d.pop()
    d.set_items(d.top(), [key, value])


def _setitems(d: Decoder) -> None:
    items = d.pop_mark()
    d.set_items(d.top(), items)


def _dict(d: Decoder) -> None:
    items = d.pop_mark()
    target: dict[Any, Any] = {}
    d.set_items(target, items)
    d.stack.append(target)


def _additems(d: Decoder) -> None:
    items = d.pop_mark()
    target = d.top()
    if type(target) is not set:
        raise refusal(f"adding items to {type(target).__name__}")
    d.budget.check_keys(items, target)
    target.update(items)


def _frozenset(d: Decoder) -> None:
    items = d.pop_mark()
    d.budget.check_keys(items)
    d.stack.append(frozenset(items))


def _global(d: Decoder) -> None:
    module, name = _utf8(d.line()), _utf8(d.line())
    d.stack.append(d.find_global(module, name))


def _stack_global(d: Decoder) -> None:
    name, module = d.pop(), d.pop()
    if type(module) is not str or type(name) is not str:
        raise malformed("STACK_GLOBAL requires str")
    d.stack.append(d.find_global(module, name))


def _newobj(d: Decoder) -> None:
    args, cls = d.pop(), d.pop()
    d.new_object(cls, args)


def _newobj_ex(d: Decoder) -> None:
    kwargs, args, cls = d.pop(), d.pop(), d.pop()
    d.new_object(cls, args, kwargs)


def _reduce(d: Decoder) -> None:
    args, function = d.pop(), d.pop()
    if type(function) is not _Global:
        raise refusal(f"a call of {type(function).__name__}")
    d.stack.append(function.call(d, args))


def _bytes_of(width: int, kind: type = bytes) -> Callable[[Decoder], None]:
    def handler(d: Decoder) -> None:
        d.stack.append(kind(d.take(d.size(width))))

    return handler


def _text_of(width: int) -> Callable[[Decoder], None]:
    def handler(d: Decoder) -> None:
        d.stack.append(_utf8(d.take(d.size(width))))

    return handler


def _long(d: Decoder, width: int) -> None:
    n = d.size(width)
    if width == 4 and n > 2**31 - 1:
        raise malformed("LONG pickle has negative byte count")
    d.stack.append(int.from_bytes(d.take(n), "little", signed=True))


def _text_float(d: Decoder) -> None:
    try:
        d.stack.append(float(_number_text(d.line())))
    except ValueError as error:
        raise malformed("invalid float") from error


def _int_line(d: Decoder) -> None:
    line = d.line()
    if line in (b"00", b"01"):  # protocol 0 booleans
        d.stack.append(line == b"01")
    else:
        d.stack.append(_text_int(line))


def _unicode_line(d: Decoder) -> None:
    try:
        d.stack.append(_codecs.raw_unicode_escape_decode(d.line())[0])
    except UnicodeDecodeError as error:
        raise malformed("invalid raw-unicode-escape text") from error


def _put(d: Decoder, key: int) -> None:
    if key < 0:
        raise malformed("negative PUT argument")
    d.memoize(key)


def _get_line(d: Decoder) -> None:
    d.recall(_text_int(d.line()))


def _put_line(d: Decoder) -> None:
    _put(d, _text_int(d.line()))


def _empty(kind: Callable[[], Any]) -> Callable[[Decoder], None]:
    def handler(d: Decoder) -> None:
        d.stack.append(kind())

    return handler


def _constant(value: object) -> Callable[[Decoder], None]:
    def handler(d: Decoder) -> None:
        d.stack.append(value)

    return handler


def _binint(width: int, signed: bool) -> Callable[[Decoder], None]:
    def handler(d: Decoder) -> None:
        d.stack.append(int.from_bytes(d.take(width), "little", signed=signed))

    return handler


def _list_of_mark(d: Decoder) -> None:
    d.stack.append(d.pop_mark())


def _tuple_of_mark(d: Decoder) -> None:
    d.stack.append(tuple(d.pop_mark()))


def _dup(d: Decoder) -> None:
    d.stack.append(d.top())


def _memoize(d: Decoder) -> None:
    d.memoize(len(d.memo))


_HANDLERS: list[Callable[[Decoder], None] | None] = [None] * 256
for _code, _handler in {
    b"(": _mark, b"0": _pop, b"1": lambda d: d.pop_mark() and None, b"2": _dup,
    b"F": _text_float, b"I": _int_line, b"J": _binint(4, True), b"K": _binint(1, False),
    b"L": lambda d: d.stack.append(_text_int(d.line())), b"M": _binint(2, False), b"N": _constant(None),
    b"P": _persistent, b"Q": _persistent, b"R": _reduce,
    b"S": lambda d: d.stack.append(_ascii(_quoted(d.line()))),
    b"T": lambda d: d.stack.append(_ascii(d.take(_I4.unpack(d.take(4))[0]))),
    b"U": lambda d: d.stack.append(_ascii(d.take(d.size(1)))),
    b"V": _unicode_line, b"X": _text_of(4), b"a": _append, b"b": lambda d: d.build(), b"c": _global, b"d": _dict,
    b"}": _empty(dict), b"e": _appends, b"g": _get_line, b"h": lambda d: d.recall(d.size(1)), b"i": _instance,
    b"j": lambda d: d.recall(d.size(4)), b"l": _list_of_mark, b"]": _empty(list), b"o": _instance,
    b"p": _put_line, b"q": lambda d: _put(d, d.size(1)), b"r": lambda d: _put(d, d.size(4)), b"s": _setitem,
    b"t": _tuple_of_mark, b")": _constant(()), b"u": _setitems,
    b"G": lambda d: d.stack.append(_FLOAT.unpack(d.take(8))[0]),
    b"\x80": _proto, b"\x81": _newobj, b"\x82": _extension, b"\x83": _extension, b"\x84": _extension,
    b"\x85": _tuple_n(1), b"\x86": _tuple_n(2), b"\x87": _tuple_n(3), b"\x88": _constant(True),
    b"\x89": _constant(False), b"\x8a": lambda d: _long(d, 1), b"\x8b": lambda d: _long(d, 4),
    b"B": _bytes_of(4), b"C": _bytes_of(1), b"\x8c": _text_of(1), b"\x8d": _text_of(8), b"\x8e": _bytes_of(8),
    b"\x8f": _empty(set), b"\x90": _additems, b"\x91": _frozenset, b"\x92": _newobj_ex, b"\x93": _stack_global,
    b"\x94": _memoize, b"\x95": _frame, b"\x96": _bytes_of(8, bytearray), b"\x97": _buffer, b"\x98": _buffer,
}.items():
    _HANDLERS[_code[0]] = _handler


def loads(data: bytes) -> Any:
    """Decodes one pickle like `pickle.loads`, allowing only the globals of
    builtin containers and scalars, OrderedDict and numpy arrays, dtypes and
    scalars, within the budgets of the file's size; anything else raises
    `pickle.UnpicklingError` naming it."""
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'")
    if not data:
        raise EOFError("Ran out of input")
    try:
        return Decoder(bytes(data)).load()
    except pickle.UnpicklingError:
        raise
    except (ArithmeticError, LookupError, TypeError, ValueError, RecursionError) as error:
        # What numpy or a builtin constructor said of pieces that passed the checks.
        raise malformed(f"{type(error).__name__}: {error}") from error
