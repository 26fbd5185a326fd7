"""numpy values of side files, rebuilt from checked pieces.

A pickled numpy value is a recipe: a dtype made from a type string and then
given a state, an empty array given a state (shape, dtype, order and bytes),
a scalar made from a dtype and bytes, or an array made from a buffer. numpy's
own steps apply such state as it is, and crafted state reaches raw memory.
Here each recipe only supplies data: the dtype is made by numpy's public
constructor from a description checked against a whitelist, the array is a
new one holding a copy of bytes whose length matches its shape, and nothing
is ever changed after it was made.

Accepted dtypes: bool, signed and unsigned integers, floats, complex,
datetime64 and timedelta64, fixed-size bytes, text and raw void of at least
one byte, object, subarrays and structured dtypes of these (fields of at
least one byte, inside the item, not overlapping). Raw bytes are accepted
only for dtypes without objects; arrays with objects come as lists of their
items, each stored by numpy's item assignment.
"""

from __future__ import annotations

import importlib
import re
import struct
import sys
from typing import Any, Callable

from ._side_limits import (DTYPE_FIELD, MAX_DTYPE_COST, MAX_DTYPE_NESTING, METADATA_ENTRY, Budget, malformed,
                           over_budget, refusal)

np: Any = None

_ODD_DTYPE = "a numpy dtype state that numpy's constructor would not make"
# Type strings a pickler writes: a kind and a size in bytes (characters for text).
_TYPESTR = re.compile(r"[biufcSUVOMm]\d{1,10}\Z")
_NUMERIC_SIZES = {"b": (1,), "i": (1, 2, 4, 8), "u": (1, 2, 4, 8), "f": (2, 4, 8, 10, 12, 16),
                  "c": (8, 16, 20, 24, 32)}
_DATETIME_UNITS = frozenset(["Y", "M", "W", "D", "h", "m", "s", "ms", "us", "μs", "ns", "ps", "fs", "as",
                             "generic"])
# Largest item: numpy keeps item sizes in a C int.
_MAX_ITEMSIZE = 2**31 - 1
_MAX_EXTENT = 2**62
_SWAPPED = ">" if sys.byteorder == "little" else "<"
_ALIGNED_STRUCT = 0x80
_ITEM_REFCOUNT = 0x01


def load() -> Any:
    """Imports numpy the first time a file names it, and returns it."""
    global np
    if np is None:
        np = importlib.import_module("numpy")
    return np


def _int(value: object, what: str) -> int:
    """`value` if it is an int (not a bool or numpy integer); anything else is
    refused, naming `what`."""
    if type(value) is not int:
        raise refusal(f"a numpy {what} that is not an integer")
    return value


def _shape(value: object, budget: Budget) -> tuple[int, ...]:
    """An array or subarray shape: a tuple of at most 64 dimensions, or a
    single one, each a non-negative int."""
    dims = value if type(value) is tuple else (value,)
    if len(dims) > 64:
        raise refusal("a numpy shape of more than 64 dimensions")
    shape = tuple(_int(dim, "shape") for dim in dims)
    if any(dim < 0 for dim in shape):
        raise refusal("a negative numpy dimension")
    return shape


def _check_extent(shape: tuple[int, ...], dtype: Any) -> None:
    """Refuses an array of `shape` and `dtype` whose span numpy's index type
    cannot hold, or whose dtype is a subarray."""
    if dtype.subdtype is not None:
        raise refusal("an array of a numpy subarray dtype")  # numpy spreads those over the shape
    # numpy needs the bytes that every axis spans, empty ones too, to fit its
    # index type.
    span = max(dtype.itemsize, 1)
    for dim in shape:
        span *= max(dim, 1)
    if span > _MAX_EXTENT:
        raise refusal(f"a numpy array spanning more than {_MAX_EXTENT} bytes")


def _count(shape: tuple[int, ...]) -> int:
    """The number of items of an array of `shape`."""
    count = 1
    for dim in shape:
        count *= dim
    return count


# --- dtypes -------------------------------------------------------------------


def dtype_from_args(args: object, budget: Budget) -> Any:
    """numpy.dtype(typestr, align, copy), which a pickler writes before the state."""
    if type(args) is not tuple or not 1 <= len(args) <= 3 or type(args[0]) is not str:
        raise refusal("numpy.dtype of anything but a type string")
    code = args[0]
    if _TYPESTR.match(code) is None or not 0 < int(code[1:]) * (4 if code[0] == "U" else 1) <= _MAX_ITEMSIZE:
        raise refusal(f"numpy dtype '{code[:40]}'")
    try:
        return np.dtype(code)
    except (TypeError, ValueError) as error:
        raise refusal(f"numpy dtype '{code[:40]}'") from error


def dtype_from_state(made: Any, state: object, budget: Budget) -> Any:
    """The dtype `made.__setstate__(state)` would describe, made anew."""
    if type(state) is not tuple or len(state) not in (8, 9) or state[0] not in (3, 4):
        raise refusal(_ODD_DTYPE)
    order, subarray, names, fields, elsize, alignment, flags = state[1:8]
    metadata = state[8] if len(state) == 9 else None
    if order not in ("<", ">", "|", "=") or type(flags) is not int:
        raise refusal(_ODD_DTYPE)
    kind = made.kind
    extra: dict[str, object] = {}
    if kind in "Mm":
        built = _datetime(made, order, metadata, budget)
    else:
        if metadata is not None:
            if type(metadata) is not dict:
                raise refusal(_ODD_DTYPE)
            budget.allocate(len(metadata) * METADATA_ENTRY)
            extra["metadata"] = dict(metadata)
        if subarray is not None:
            built = _subarray(subarray, elsize, extra, budget)
        elif names is not None:
            built = _structured(names, fields, elsize, flags, extra, budget)
        else:
            built = _plain(made, order, elsize, extra)
    if (_int(flags, "dtype flag") & _ITEM_REFCOUNT != 0) != built.hasobject:
        raise refusal(_ODD_DTYPE)
    return built


def _plain(made: Any, order: str, elsize: object, extra: dict[str, object]) -> Any:
    """The dtype of a state without fields or subarray (number, bytes, text,
    void or object), in `order` where the byte order matters."""
    kind, size = made.kind, made.itemsize
    if kind in "SUV":
        size = _int(elsize, "item size")
        if size <= 0 or size > _MAX_ITEMSIZE or kind == "U" and size % 4:
            raise refusal(_ODD_DTYPE)
        code = f"{kind}{size // 4 if kind == 'U' else size}"
    elif kind == "O":
        code = "O"
    elif kind in _NUMERIC_SIZES and size in _NUMERIC_SIZES[kind] and elsize == -1:
        code = made.str[1:]
    else:
        raise refusal(_ODD_DTYPE)
    if order == "|" or kind in "SVO" or size == 1 and kind != "U":
        order = "|"
    return _construct(order + code if order != "|" else code, extra)


def _datetime(made: Any, order: str, metadata: object, budget: Budget) -> Any:
    """The datetime64 or timedelta64 dtype of the unit that a state's metadata
    gives: a known unit times a count below 2**31."""
    if type(metadata) is not tuple or len(metadata) != 2 or type(metadata[1]) is not tuple or len(metadata[1]) != 4:
        raise refusal(_ODD_DTYPE)
    unit, num, den, events = metadata[1]
    if type(unit) is bytes:
        unit = unit.decode("latin-1")
    if unit not in _DATETIME_UNITS or _int(num, "time unit") <= 0 or num > 2**31 - 1 or den != 1 or events != 1:
        raise refusal(_ODD_DTYPE)
    extra: dict[str, object] = {}
    if metadata[0] is not None:
        if type(metadata[0]) is not dict:
            raise refusal(_ODD_DTYPE)
        budget.allocate(len(metadata[0]) * METADATA_ENTRY)
        extra["metadata"] = metadata[0]
    code = f"{made.kind}8" if unit == "generic" else f"{made.kind}8[{'' if num == 1 else num}{unit}]"
    return _construct(("=" if order == "|" else order) + code, extra)


def _subarray(subarray: object, elsize: object, extra: dict[str, object], budget: Budget) -> Any:
    """The subarray dtype of a state: a base dtype and a shape, whose size is
    the state's item size."""
    if type(subarray) is not tuple or len(subarray) != 2 or not isinstance(subarray[0], np.dtype):
        raise refusal(_ODD_DTYPE)
    base, shape, size = subarray[0], _shape(subarray[1], budget), _int(elsize, "item size")
    if _count(shape) * base.itemsize != size or size > _MAX_ITEMSIZE:
        raise refusal(_ODD_DTYPE)
    return _nested(_construct((base, subarray[1]), extra), [base], budget)


def _compare_factor() -> int:
    """How often numpy visits a field's dtype per visit of the dtype holding
    it: numpy 1.x compares structured dtypes by working out the cast safety
    both ways at every level, so its walks double with each level."""
    return 2 if int(np.__version__.split(".")[0]) < 2 else 1


def _nested(built: Any, parts: list[Any], budget: Budget) -> Any:
    """`built`, made of `parts`, unless that nests dtypes too deeply or makes
    a walk over it too long: numpy compares, hashes and prints nested dtypes
    by recursion in C, visiting a part once per field that holds it."""
    depths = budget.dtype_depths
    depth, cost = 1, 0
    for part in parts:
        known = depths.get(id(part))
        if known is not None and known[0] is part:
            depth = max(depth, known[1] + 1)
            cost += known[2]
        elif part.names is not None or part.subdtype is not None:
            raise refusal(_ODD_DTYPE)  # made outside this load
        else:
            cost += 1
    if depth > MAX_DTYPE_NESTING:
        raise over_budget("numpy dtype nesting", MAX_DTYPE_NESTING)
    cost = 1 + _compare_factor() * cost
    if cost > MAX_DTYPE_COST:
        raise over_budget("numpy dtype size", MAX_DTYPE_COST)
    depths[id(built)] = (built, depth, cost)
    return built


def _structured(names: object, fields: object, elsize: object, flags: int, extra: dict[str, object],
                budget: Budget) -> Any:
    """The structured dtype of a state: named fields, each of at least one
    byte, inside the item and not overlapping; a title names the same field."""
    if type(names) is not tuple or type(fields) is not dict or not names:
        raise refusal(_ODD_DTYPE)
    budget.allocate(len(names) * DTYPE_FIELD)
    size = _int(elsize, "item size")
    if size <= 0 or size > _MAX_ITEMSIZE:
        raise refusal(_ODD_DTYPE)
    formats, offsets, titles, spans = [], [], [], []
    for name in names:
        field = fields.get(name) if type(name) is str else None
        if type(field) is not tuple or len(field) not in (2, 3) or not isinstance(field[0], np.dtype):
            raise refusal(_ODD_DTYPE)
        title = field[2] if len(field) == 3 else None
        if title is not None and (type(title) is not str or not _same_field(fields.get(title), field)):
            raise refusal(_ODD_DTYPE)
        offset, itemsize = _int(field[1], "field offset"), field[0].itemsize
        if offset < 0 or itemsize <= 0 or offset + itemsize > size:
            raise refusal(_ODD_DTYPE)
        formats.append(field[0])
        offsets.append(offset)
        titles.append(title)
        spans.append((offset, offset + itemsize))
    if len(fields) != len(names) + sum(title is not None for title in titles):
        raise refusal(_ODD_DTYPE)
    spans.sort()
    if any(spans[i][1] > spans[i + 1][0] for i in range(len(spans) - 1)):
        raise refusal(_ODD_DTYPE)
    layout = {"names": list(names), "formats": formats, "offsets": offsets, "titles": titles, "itemsize": size}
    return _nested(_construct(layout, extra, align=bool(flags & _ALIGNED_STRUCT)), formats, budget)


def _same_field(other: object, field: tuple[Any, ...]) -> bool:
    """Whether `other`, the entry of a field's title, is that `field`; dtypes
    by identity, since comparing them recurses through their fields."""
    return type(other) is tuple and len(other) == len(field) and all(
        a is b or type(a) in (int, str) and type(b) is type(a) and a == b for a, b in zip(other, field))


def _construct(description: object, extra: dict[str, object], align: bool = False) -> Any:
    """Makes a dtype with numpy's constructor; a description it rejects is
    refused."""
    try:
        return np.dtype(description, align=align, **extra)
    except (TypeError, ValueError) as error:
        raise refusal(_ODD_DTYPE) from error


# --- arrays -------------------------------------------------------------------


def empty_array(args: object, array_class: object, budget: Budget) -> Any:
    """_reconstruct(numpy.ndarray, shape, typecode): the array a state is then
    given; made of zeros, never of uninitialised memory."""
    if type(args) is not tuple or len(args) != 3 or args[0] is not array_class:
        raise refusal("numpy _reconstruct of anything but numpy.ndarray")
    code = args[2]
    if type(code) is not bytes or len(code) != 1 or code not in b"?bBhHiIlLqQefdFD":
        raise refusal("numpy _reconstruct of anything but a numeric type code")
    dtype = np.dtype(code.decode("latin-1"))
    shape = _shape(args[1], budget)
    _check_extent(shape, dtype)
    budget.allocate(_count(shape) * dtype.itemsize)
    return np.zeros(shape, dtype)


def array_from_state(state: object, budget: Budget) -> Any:
    """The array that a state (version, shape, dtype, Fortran order, data)
    describes, holding its own copy of the data."""
    if type(state) is tuple and len(state) == 5:
        state = state[1:]  # the version, 1 in every numpy that writes it
    if type(state) is not tuple or len(state) != 4 or not isinstance(state[1], np.dtype):
        raise refusal("a numpy array state other than shape, dtype, order and data")
    shape, dtype, fortran, data = _shape(state[0], budget), state[1], state[2], state[3]
    if type(fortran) is not bool and fortran not in (0, 1):
        raise refusal("a numpy array order other than C or Fortran")
    count, order = _count(shape), "F" if fortran else "C"
    if type(data) is list:
        return _array_of_items(data, shape, count, dtype, order, budget)
    if type(data) is str:
        data = data.encode("latin-1")  # how Python 2 numpy wrote the bytes
    array = _array_of_bytes(data, shape, count, dtype, order, budget)
    if dtype.byteorder == _SWAPPED:
        # A state's bytes in the other byte order load in this machine's order.
        budget.allocate(array.nbytes)
        array = array.astype(dtype.newbyteorder("="))
    return array


def _array_of_bytes(data: object, shape: tuple[int, ...], count: int, dtype: Any, order: str,
                    budget: Budget) -> Any:
    """An array of `shape` holding a copy of `data`, whose length must match
    it; raw bytes of objects are refused."""
    if type(data) is not bytes and type(data) is not bytearray:
        raise refusal("numpy array data other than bytes or a list")
    if dtype.hasobject:
        raise refusal("raw bytes of numpy objects")
    _check_extent(shape, dtype)
    if count * dtype.itemsize != len(data):
        raise malformed("numpy array data does not match its shape and dtype")
    budget.allocate(len(data))
    return _copied(data, dtype).reshape(shape, order=order)


def _copied(data: bytes | bytearray, dtype: Any) -> Any:
    """A copy of `data` viewed as `dtype`, copied as bytes: a copy of a
    structured array would be made field by field, leaving the bytes between
    fields as the allocator found them."""
    return np.frombuffer(data, np.uint8).copy().view(dtype)


def _array_of_items(items: list[Any], shape: tuple[int, ...], count: int, dtype: Any, order: str,
                    budget: Budget) -> Any:
    """An array of `shape` made of zeros and given its `items` one by one by
    numpy's item assignment (how arrays of objects are pickled)."""
    _check_extent(shape, dtype)
    if count != len(items):
        raise malformed("numpy array items do not match its shape")
    budget.allocate(count * dtype.itemsize)
    flat = np.zeros(count, dtype)
    try:
        for index, item in enumerate(items):
            flat[index] = item
    except (TypeError, ValueError, OverflowError) as error:
        raise malformed("numpy array item does not fit its dtype") from error
    return flat.reshape(shape, order=order)


def frombuffer(args: object, budget: Budget) -> Any:
    """_frombuffer(buffer, dtype, shape, order), written by protocol 5."""
    if type(args) is not tuple or len(args) != 4 or not isinstance(args[1], np.dtype):
        raise refusal("numpy _frombuffer of anything but bytes, a dtype, a shape and an order")
    if type(args[0]) is not bytes and type(args[0]) is not bytearray:
        raise refusal("numpy _frombuffer of anything but bytes")
    if args[3] not in ("C", "F"):
        raise refusal("a numpy array order other than C or Fortran")
    shape = _shape(args[2], budget)
    array = _array_of_bytes(args[0], shape, _count(shape), args[1], args[3], budget)
    # The pickler writes the bytes of a read-only array as bytes, of a
    # writable one as a bytearray.
    array.flags.writeable = type(args[0]) is bytearray
    return array


# --- scalars ------------------------------------------------------------------

_Decoder = Callable[[bytes], Any]


def scalar(args: object, decoders: dict[int, tuple[Any, _Decoder]], budget: Budget) -> Any:
    """scalar(dtype, bytes), or scalar(dtype, 0-d array) for items with objects."""
    if type(args) is not tuple or len(args) != 2:
        raise refusal("numpy scalar of anything but a dtype and its bytes")
    dtype, data = args
    known = decoders.get(id(dtype))
    if known is not None and type(data) is bytes:
        return known[1](data)
    if not isinstance(dtype, np.dtype):
        raise refusal("numpy scalar of anything but a dtype and its bytes")
    if type(data) is np.ndarray and data.dtype == dtype and data.shape == () and dtype.hasobject:
        return data[()]  # a view, as numpy makes it; no array of a load is ever changed
    if type(data) is not bytes or dtype.hasobject or dtype.kind == "O":
        raise refusal("numpy scalar of anything but a dtype and its bytes")
    decoder = _decoder(dtype, budget)
    decoders[id(dtype)] = (dtype, decoder)  # the dtype is held, so its id stays its own
    return decoder(data)


def scalars(dtype: Any, data: bytes, count: int) -> list[Any]:
    """The scalars of `count` items of a dtype whose single scalars were
    already decoded, from their bytes one after the other."""
    return list(_copied(data, dtype) if dtype.kind == "V" else np.frombuffer(data, dtype, count))


def _decoder(dtype: Any, budget: Budget) -> _Decoder:
    """A function making a scalar of `dtype` from its bytes: by struct for
    plain integers, floats and complex, else by the generic, exact path."""
    size, kind, kind_type = dtype.itemsize, dtype.kind, dtype.type
    generic = _generic_decoder(dtype, budget)
    order = ">" if dtype.byteorder == ">" else "<" if dtype.byteorder == "<" else "="
    letter = {("i", 1): "b", ("i", 2): "h", ("i", 4): "i", ("i", 8): "q", ("u", 1): "B", ("u", 2): "H",
              ("u", 4): "I", ("u", 8): "Q", ("f", 2): "e", ("f", 4): "f", ("f", 8): "d", ("c", 8): "ff",
              ("c", 16): "dd"}.get((kind, size))
    if dtype.names is not None or dtype.subdtype is not None or dtype.metadata or letter is None:
        return generic
    unpack = struct.Struct(order + letter).unpack
    if kind in "iu":
        return lambda data: kind_type(unpack(data)[0]) if len(data) == size else generic(data)
    if kind == "f" and size == 8:
        return lambda data: kind_type(unpack(data)[0]) if len(data) == size else generic(data)

    # Narrower floats pass through a double, which would quieten a signalling
    # NaN: those take the exact path.
    def narrow(data: bytes) -> Any:
        if len(data) != size:
            return generic(data)
        parts = unpack(data)
        if parts[0] != parts[0] or parts[-1] != parts[-1]:
            return generic(data)
        return kind_type(parts[0] if len(parts) == 1 else complex(*parts))

    return narrow


def _generic_decoder(dtype: Any, budget: Budget) -> _Decoder:
    """A function making a scalar of `dtype` from bytes of its item size,
    copied into numpy, each copy counted against the budget."""
    size = dtype.itemsize

    def decode(data: bytes) -> Any:
        if len(data) != size:
            raise malformed("numpy scalar bytes do not match its dtype")
        budget.allocate(size)
        return _copied(data, dtype)[0]

    return decode
