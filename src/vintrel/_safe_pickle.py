"""Decodes pickled side files without running code from them.

A side file comes with the acquisition, possibly from someone else, and a
pickle may name any importable callable for `pickle.loads` to call. Here a
pickle may name only what the picklers write for the builtin containers and
scalars, `collections.OrderedDict`, and numpy arrays, dtypes and scalars; any
other global is refused before anything is imported.

numpy needs more than an allow-list, since some of its pickled forms reach
raw memory. It applies a pickled dtype state as it is, and a crafted state
(an object field not flagged as one, a field beyond the item's size) yields
arrays that read or write outside their memory; so a pickle that names numpy
is decoded by the pure-Python unpickler, whose BUILD step checks each dtype
state against what numpy's constructor makes from the same description and
gives the pickle a fresh dtype, never changing one it already holds. Pickles
without numpy objects, the usual case, keep the speed of the C unpickler.
numpy.ndarray may only be handed to _reconstruct (called itself with a
buffer it makes object arrays of raw bytes), and _frombuffer only reads
bytes (a view of an array would dangle once the pickle gave that array a
new state).
"""

from __future__ import annotations

import importlib
import io
import pickle
from collections import OrderedDict
from typing import Any, NoReturn

__all__ = ["loads"]

_TRUSTED_RECIPE = "pickle.loads(gzip.decompress(open(path, 'rb').read()))"


def _refusal(what: str) -> pickle.UnpicklingError:
    """The UnpicklingError for something a side file may not hold, with the way to load a trusted file."""
    return pickle.UnpicklingError(f"{what} is not allowed in a side file; if you trust this file, "
                                  f"load it with gzip and pickle: {_TRUSTED_RECIPE}")


def _latin1(text: object, encoding: object) -> bytes:
    """_codecs.encode as old protocols use it for bytes: text to latin-1 only."""
    # Protocols 0-2 write bytes as _codecs.encode(<text>, 'latin1'); nothing
    # else is needed, so no other codec is ever looked up.
    if type(text) is not str or encoding not in ("latin1", "latin-1"):
        raise _refusal("_codecs.encode other than of text to latin-1")
    return text.encode("latin-1")


_BUILTIN_GLOBALS: dict[tuple[str, str], object] = {
    ("builtins", "set"): set,
    ("builtins", "frozenset"): frozenset,
    ("builtins", "bytearray"): bytearray,
    ("builtins", "bytes"): bytes,
    ("builtins", "complex"): complex,
    ("_codecs", "encode"): _latin1,
    ("collections", "OrderedDict"): OrderedDict,
}

# Protocols 0-2 name the builtins module by its Python 2 name.
_MODULE_ALIASES = {"__builtin__": "builtins"}

# numpy 1.x writes numpy.core, numpy 2.x numpy._core; either loads with either.
_NUMPY_GLOBALS = frozenset(
    [("numpy", "dtype"), ("numpy", "ndarray")]
    + [(f"numpy.{core}.multiarray", name) for core in ("core", "_core") for name in ("_reconstruct", "scalar")]
    + [(f"numpy.{core}.numeric", "_frombuffer") for core in ("core", "_core")])


class _ArrayClass:
    """Stands for numpy.ndarray, which a pickle only hands to _reconstruct:
    calling the class itself with a buffer makes object arrays of raw bytes."""

    __slots__ = ()

    def __call__(self, *args: object) -> NoReturn:
        raise _refusal("a call of numpy.ndarray")

    def __repr__(self) -> str:
        return "<numpy.ndarray, as named in a side file>"


_ARRAY_CLASS = _ArrayClass()


def _numpy_globals() -> dict[tuple[str, str], object]:
    """The numpy callables a side file may name, with the checked constructors in place."""
    numpy = importlib.import_module("numpy")
    core = "_core" if int(numpy.__version__.split(".")[0]) >= 2 else "core"
    multiarray = importlib.import_module(f"numpy.{core}.multiarray")
    numeric = importlib.import_module(f"numpy.{core}.numeric")
    reconstruct, frombuffer = multiarray._reconstruct, numeric._frombuffer

    def checked_reconstruct(cls: object, shape: object, typecode: object) -> object:
        if cls is not _ARRAY_CLASS:
            raise _refusal("numpy _reconstruct of anything but numpy.ndarray")
        return reconstruct(numpy.ndarray, shape, typecode)

    def checked_frombuffer(buffer: object, dtype: object, shape: object, order: object) -> object:
        # Protocol 5 hands an array's bytes over as bytes or bytearray.
        if type(buffer) not in (bytes, bytearray):
            raise _refusal("numpy _frombuffer of anything but bytes")
        return frombuffer(buffer, dtype, shape, order)

    # numpy.dtype is added by each unpickler, which keeps track of the dtypes made.
    found: dict[tuple[str, str], object] = {("numpy", "ndarray"): _ARRAY_CLASS}
    for old_or_new in ("core", "_core"):
        found[(f"numpy.{old_or_new}.multiarray", "_reconstruct")] = checked_reconstruct
        found[(f"numpy.{old_or_new}.multiarray", "scalar")] = multiarray.scalar
        found[(f"numpy.{old_or_new}.numeric", "_frombuffer")] = checked_frombuffer
    return found


class _NeedsNumpy(Exception):
    """The C unpickler met a numpy global: decode again with the checked BUILD."""


def _find_global(module: str, name: str, numpy_globals: dict[tuple[str, str], object] | None) -> Any:
    """The object a pickle's global (module, name) stands for, if it is allowed; numpy's only with `numpy_globals`."""
    key = (_MODULE_ALIASES.get(module, module), name)
    if key in _BUILTIN_GLOBALS:
        return _BUILTIN_GLOBALS[key]
    if key in _NUMPY_GLOBALS:
        if numpy_globals is None:
            raise _NeedsNumpy
        return numpy_globals[key]
    raise _refusal(f"global '{module}.{name}'")


class _BuiltinUnpickler(pickle.Unpickler):
    """The C unpickler limited to the allowed built-in globals; meets numpy's as _NeedsNumpy."""

    def find_class(self, module: str, name: str) -> Any:
        """The allowed global, or a refusal."""
        return _find_global(module, name, None)

    def persistent_load(self, pid: Any) -> NoReturn:
        """Refuses persistent IDs: a side file has none."""
        raise _refusal("a persistent ID")


class _NumpyUnpickler(pickle._Unpickler):
    """The Python unpickler for side files holding numpy arrays: numpy globals allowed, dtype states checked."""

    stack: list[Any]
    memo: dict[int, Any]

    def __init__(self, data: bytes) -> None:
        super().__init__(io.BytesIO(data))
        self.dtype_type: type = importlib.import_module("numpy").dtype
        self.numpy_globals = {**_numpy_globals(), ("numpy", "dtype"): self.new_dtype}
        # Each dtype made by the pickle, with the memo key a pickler gives it
        # right after making it, so that its checked rebuild replaces it there.
        self.made_dtypes: dict[int, tuple[Any, int]] = {}

    def new_dtype(self, *args: Any, **kwargs: Any) -> Any:
        """A dtype, remembered with its memo key so that its checked rebuild can replace it."""
        dtype = self.dtype_type(*args, **kwargs)
        self.made_dtypes[id(dtype)] = (dtype, len(self.memo))
        return dtype

    def find_class(self, module: str, name: str) -> Any:
        """The allowed global, numpy's among them, or a refusal."""
        return _find_global(module, name, self.numpy_globals)

    def persistent_load(self, pid: Any) -> NoReturn:
        """Refuses persistent IDs: a side file has none."""
        raise _refusal("a persistent ID")

    def load_build(self) -> None:
        """BUILD: a dtype's state goes through _checked_dtype; other objects are built as pickle does."""
        inst = self.stack[-2]
        if not isinstance(inst, self.dtype_type):
            super().load_build()  # type: ignore[misc]  # missing from the stubs
            return
        built = _checked_dtype(inst, self.stack.pop())
        self.stack[-1] = built
        _, key = self.made_dtypes.pop(id(inst), (None, -1))
        if self.memo.get(key) is inst:
            self.memo[key] = built

    dispatch = dict(pickle._Unpickler.dispatch)
    dispatch[pickle.BUILD[0]] = load_build  # type: ignore[assignment]


# numpy 1.x writes the aligned-struct flag into a signed byte, and numpy 2.x
# drops it when loading such a state; it only affects how a dtype prints.
_ALIGNED_STRUCT = 0x80
_ODD_DTYPE = "a numpy dtype state that numpy's constructor would not make"


def _checked_dtype(inst: Any, state: object) -> Any:
    """The dtype `inst.__setstate__(state)` would make, provided numpy's own
    constructor makes the same one (but for the aligned-struct flag): the
    state is applied to a private copy, never to `inst`, which other objects
    of the pickle may already hold."""
    numpy = importlib.import_module("numpy")
    built = numpy.dtype(inst, copy=True)
    try:
        built.__setstate__(state)
        accepted = _comparable(built) in _constructed_alike(numpy, built)
    except Exception as error:  # numpy's own complaint about the state
        raise _refusal(_ODD_DTYPE) from error
    if not accepted:
        raise _refusal(_ODD_DTYPE)
    return built


def _comparable(dtype: Any) -> tuple[object, ...]:
    """What identifies a dtype's layout, for comparing it with what the constructor makes."""
    # The pickled state narrows sizes to C ints, so the sizes are taken from
    # the dtype itself too.
    _, args, state = dtype.__reduce__()
    if len(state) > 7:
        state = (*state[:7], state[7] & ~_ALIGNED_STRUCT, *state[8:])
    return (args, state, dtype.itemsize, dtype.alignment, dtype.flags & ~_ALIGNED_STRUCT)


def _constructed_alike(numpy: Any, described: Any) -> list[tuple[object, ...]]:
    """What the constructor makes from the public description of `described`,
    packed and aligned (the latter only where the offsets allow it)."""
    if described.names is not None:
        fields = [described.fields[name] for name in described.names]
        layout: object = {"names": list(described.names), "formats": [field[0] for field in fields],
                          "offsets": [field[1] for field in fields], "itemsize": described.itemsize,
                          "titles": [field[2] if len(field) > 2 else None for field in fields]}
    else:
        layout = described.subdtype or described.str
    extra = {} if described.metadata is None else {"metadata": dict(described.metadata)}
    made = []
    for align in (False, True):
        try:
            made.append(_comparable(numpy.dtype(layout, align=align, **extra)))
        except (TypeError, ValueError):
            pass
    return made


def loads(data: bytes) -> Any:
    """Decodes one pickle like `pickle.loads`, allowing only the globals of
    builtin containers and scalars, OrderedDict and numpy arrays, dtypes and
    scalars; anything else raises `pickle.UnpicklingError` naming it."""
    try:
        return _BuiltinUnpickler(io.BytesIO(data)).load()
    except _NeedsNumpy:
        pass  # decoded again below, outside this handler, so errors do not chain to it
    return _NumpyUnpickler(data).load()
