"""Hand-written pickles: a few opcode builders and the hostile side files
that the decoder must refuse (shared by the tests and the fuzz harness)."""

import struct

MARK, STOP, TUPLE, REDUCE, BUILD, NONE = b"(", b".", b"t", b"R", b"b", b"N"
EMPTY_DICT, EMPTY_LIST, EMPTY_TUPLE, EMPTY_SET = b"}", b"]", b")", b"\x8f"
SETITEM, APPEND, ADDITEMS, FROZENSET, TUPLE1, TUPLE2 = b"s", b"a", b"\x90", b"\x91", b"\x85", b"\x86"
MEMOIZE, NEWTRUE, NEWFALSE, POP = b"\x94", b"\x88", b"\x89", b"0"


def glob(module, name):
    return b"c" + module.encode() + b"\n" + name.encode() + b"\n"


def text(value):
    data = value.encode()
    return b"X" + struct.pack("<I", len(data)) + data


def raw(value):
    return b"B" + struct.pack("<I", len(value)) + value


def num(value):
    if -2**31 <= value < 2**31:
        return b"J" + struct.pack("<i", value)
    data = value.to_bytes((value.bit_length() + 8) // 8, "little", signed=True)
    return b"\x8a" + bytes([len(data)]) + data


def put(key):
    return b"r" + struct.pack("<I", key)


def get(key):
    return b"j" + struct.pack("<I", key)


def tup(*items):
    return MARK + b"".join(items) + TUPLE


def call(function, *args):
    return function + tup(*args) + REDUCE


def dtype(code, state):
    """numpy.dtype(code, False, True) given `state` (already encoded)."""
    return call(glob("numpy", "dtype"), text(code), NEWFALSE, NEWTRUE) + state + BUILD


def simple_state(order, elsize=-1, alignment=-1, flags=0):
    return tup(num(3), text(order), NONE, NONE, NONE, num(elsize), num(alignment), num(flags))


OBJECT = dtype("O8", simple_state("|", flags=63))
RECONSTRUCT = glob("numpy.core.multiarray", "_reconstruct")
SCALAR = glob("numpy.core.multiarray", "scalar")


def array(shape, dtype_ops, data):
    """_reconstruct(ndarray, (0,), b'b') given the state (1, shape, dtype, False, data)."""
    made = call(RECONSTRUCT, glob("numpy", "ndarray"), tup(num(0)), raw(b"b"))
    return made + tup(num(1), tup(*map(num, shape)), dtype_ops, NEWFALSE, data) + BUILD


def chain(levels):
    """t0 = (); t(k+1) = (tk, tk), through the memo: 2**levels tuples for one hash."""
    ops = EMPTY_TUPLE + put(0) + POP
    for level in range(levels):
        ops += get(level) + get(level) + TUPLE2 + put(level + 1) + POP
    return ops + get(levels)


def pickle_of(ops):
    return b"\x80\x04" + ops + STOP


# A structured dtype of one object field at offset 0, as numpy describes it.
STRUCT_OF_OBJECT = dtype("V8", tup(num(3), text("|"), NONE, tup(text("a")),
                                   EMPTY_DICT + text("a") + tup(OBJECT, num(0)) + SETITEM, num(8), num(8),
                                   num(63)))

def nested_dtype(levels):
    """A structured dtype whose one field is one of `levels - 1` levels, down to uint8."""
    ops = dtype("u1", simple_state("|"))
    for _ in range(levels):
        fields = EMPTY_DICT + text("a") + tup(ops, num(0)) + SETITEM
        ops = dtype("V1", tup(num(3), text("|"), NONE, tup(text("a")), fields, num(1), num(1), num(0)))
    return ops


def wide_dtype(levels, width=2):
    """A structured dtype of `width` fields per level, each the dtype of the
    level below, shared through the memo: a walk over it visits width**levels
    nodes, while the file grows by a few dozen bytes a level."""
    ops = dtype("u1", simple_state("|")) + put(0) + POP
    size = 1
    for level in range(1, levels + 1):
        names = [f"f{k}" for k in range(width)]
        fields = EMPTY_DICT + MARK + b"".join(text(name) + tup(get(level - 1), num(k * size))
                                              for k, name in enumerate(names)) + b"u"
        size *= width
        ops += dtype(f"V{size}", tup(num(3), text("|"), NONE, tup(*map(text, names)), fields, num(size), num(1),
                                     num(0))) + put(level) + POP
    return ops + get(levels)


# name -> (pickle, what the refusal names)
HOSTILE = {
    # A void scalar of a structured dtype with an object field made over an
    # array that a second state then frees and replaces.
    "void_scalar_then_second_state": (pickle_of(
        array((), STRUCT_OF_OBJECT, EMPTY_LIST + NONE + TUPLE1 + APPEND) + put(1)
        + call(SCALAR, STRUCT_OF_OBJECT, get(1)) + POP + get(1)
        + tup(num(1), tup(num(8)), dtype("u1", simple_state("|")), NEWFALSE, raw(b"\x41" * 8)) + BUILD),
        "setting the state of ndarray"),
    "void_scalar_of_raw_pointer_bytes": (pickle_of(call(SCALAR, STRUCT_OF_OBJECT, raw(b"\x01" * 8))),
                                         "numpy scalar of anything but"),
    "object_array_of_raw_pointer_bytes": (pickle_of(array((1,), OBJECT, raw(b"\x01" * 8))),
                                          "raw bytes of numpy objects"),
    # numpy's shared unsized dtypes, and a builtin one, given a size in place.
    "scalar_of_unsized_S": (pickle_of(call(SCALAR, call(glob("numpy", "dtype"), text("S0"), NEWFALSE, NEWTRUE))),
                            "numpy dtype 'S0'"),
    "unsized_V": (pickle_of(call(glob("numpy", "dtype"), text("V0"), NEWFALSE, NEWTRUE)), "numpy dtype 'V0'"),
    "S_state_of_size_0": (pickle_of(dtype("S5", simple_state("|", 0, 1, 0))), "numpy dtype state"),
    "V_state_of_size_0": (pickle_of(array((1000,), dtype("V8", simple_state("|", 0, 1, 0)), raw(b""))),
                          "numpy dtype state"),
    "f8_state_of_size_1": (pickle_of(dtype("f8", simple_state("<", 1, 1, 0))), "numpy dtype state"),
    "U_state_of_odd_size": (pickle_of(dtype("U1", simple_state("<", 5, 4, 8))), "numpy dtype state"),
    "overlapping_fields": (pickle_of(dtype("V8", tup(
        num(3), text("|"), NONE, tup(text("a"), text("b")),
        EMPTY_DICT + text("a") + tup(dtype("i8", simple_state("<")), num(0)) + SETITEM
        + text("b") + tup(dtype("i4", simple_state("<")), num(4)) + SETITEM, num(8), num(8), num(0)))),
        "numpy dtype state"),
    "deeply_nested_dtype": (pickle_of(nested_dtype(1000)), "numpy dtype (nesting|size) budget"),
    "second_state_of_a_dtype": (pickle_of(dtype("f8", simple_state("<")) + simple_state(">") + BUILD),
                                "setting the state of"),
    # Hashing memo-shared tuples: 2**60 visits for a 331-byte file.
    "shared_tuples_as_dict_key": (pickle_of(EMPTY_DICT + put(999) + chain(60) + NONE + SETITEM), "hashing work"),
    "shared_tuples_in_a_set": (pickle_of(EMPTY_SET + MARK + chain(60) + ADDITEMS), "hashing work"),
    "shared_tuples_in_a_frozenset": (pickle_of(MARK + chain(60) + FROZENSET), "hashing work"),
    "shared_tuples_given_to_set": (pickle_of(call(glob("builtins", "set"), EMPTY_LIST + chain(60) + APPEND)),
                                   "hashing work"),
    # A dtype whose fields share the dtype of the level below: 2**30 nodes to
    # hash, compare or print, from about 2 KB.
    "wide_shared_dtype": (pickle_of(wide_dtype(30)), "numpy dtype size"),
    "wide_shared_dtype_as_dict_key": (pickle_of(EMPTY_DICT + wide_dtype(30) + NONE + SETITEM), "numpy dtype size"),
    "deep_tuple_as_dict_key": (pickle_of(EMPTY_DICT + EMPTY_TUPLE + TUPLE1 * 200_000 + NONE + SETITEM),
                               "nesting depth"),
    "int_keys_of_one_hash": (pickle_of(EMPTY_DICT + MARK + b"".join(num(k * (2**61 - 1)) + NONE for k in range(1, 300))
                                       + b"u"), "keys with one hash value"),
    # Allocations asked for by a few bytes.
    "bytearray_of_6_GiB": (pickle_of(call(glob("builtins", "bytearray"), num(6 * 2**30))), "memory budget"),
    "bytes_of_6_GiB": (pickle_of(call(glob("__builtin__", "bytes"), num(6 * 2**30))), "memory budget"),
    "empty_array_of_huge_shape": (pickle_of(call(RECONSTRUCT, glob("numpy", "ndarray"), tup(num(2**40)), raw(b"d"))),
                                  "memory budget"),
    "huge_shape_little_data": (pickle_of(array((2**40, 2**40), dtype("f8", simple_state("<")), raw(b"\0" * 8))),
                               "spanning more than"),
    "empty_axis_beside_huge_one": (pickle_of(array((0, 2**70), dtype("f8", simple_state("<")), raw(b""))),
                                   "spanning more than"),
    "frombuffer_of_huge_shape": (pickle_of(call(glob("numpy.core.numeric", "_frombuffer"), raw(b"\0" * 8),
                                                dtype("f8", simple_state("<")), tup(num(2**31), num(2**31)),
                                                text("C"))), "spanning more than|does not match"),
    "decimal_text_of_a_million_digits": (b"I" + b"9" * 1_000_000 + b"\n.", "digits of a decimal number"),
    # Copies of a value stored once, asked for again and again through the memo.
    "bytearray_of_shared_bytes_again_and_again": (pickle_of(
        raw(bytes(1 << 20)) + put(1) + POP + glob("builtins", "bytearray") + put(2) + POP
        + (get(2) + MARK + get(1) + TUPLE + REDUCE + POP) * 1000 + NONE), "memory budget"),
    "set_of_a_shared_list_again_and_again": (pickle_of(
        EMPTY_LIST + MARK + b"".join(num(k) for k in range(4096)) + b"e" + put(1) + POP + glob("builtins", "set")
        + put(2) + POP + (get(2) + MARK + get(1) + TUPLE + REDUCE + POP) * 30_000 + NONE), "memory budget"),
    "dtype_fields_shared_again_and_again": (pickle_of(
        MARK + b"".join(text(f"f{k}") for k in range(5000)) + TUPLE + put(1) + POP
        + EMPTY_DICT + MARK + b"".join(text(f"f{k}") + tup(dtype("u1", simple_state("|")), num(k))
                                       for k in range(5000)) + b"u" + put(2) + POP
        + (call(glob("numpy", "dtype"), text("V5000"), NEWFALSE, NEWTRUE)
           + tup(num(3), text("|"), NONE, get(1), get(2), num(5000), num(1), num(0)) + BUILD + POP) * 5000 + NONE),
        "memory budget"),
    # Codec lookups that import, and states given to what the module holds.
    "bytearray_with_codec_import": (pickle_of(call(glob("builtins", "bytearray"), text("x"), text("bz2_codec"))),
                                    "encoding other than"),
    "codecs_encode_rot13": (pickle_of(call(glob("_codecs", "encode"), text("x"), text("rot13"))),
                            "encoding other than"),
    "state_of_an_allowed_global": (pickle_of(glob("_codecs", "encode") + EMPTY_DICT + text("x") + NONE + SETITEM
                                             + BUILD), "setting the state of _Global"),
    "state_of_the_array_class": (pickle_of(glob("numpy", "ndarray") + EMPTY_DICT + BUILD), "setting the state of"),
    "state_of_an_ordered_dict": (pickle_of(call(glob("collections", "OrderedDict")) + EMPTY_DICT + text("x") + NONE
                                           + SETITEM + BUILD), "setting the state of OrderedDict"),
    # Other numpy entry points.
    "numpy_load": (pickle_of(call(glob("numpy", "load"), text("/etc/passwd"))), "global 'numpy.load'"),
    "numpy_fromstring": (pickle_of(glob("numpy.core.multiarray", "fromstring")), "global 'numpy.core.multiarray"),
    "numpy_masked_reconstruct": (pickle_of(glob("numpy.ma.core", "_mareconstruct")), "global 'numpy.ma.core"),
    "numpy_dtype_of_a_class": (pickle_of(call(glob("numpy", "dtype"), glob("builtins", "set"))),
                               "numpy.dtype of anything but"),
    "newobj_of_a_dtype": (pickle_of(glob("numpy", "dtype") + tup(text("f8")) + b"\x81"), "a new object of numpy.dtype"),
    "reduce_of_a_value": (pickle_of(call(text("os"))), "a call of str"),
    "extension_code": (pickle_of(b"\x82\x01"), "an extension code"),
    "out_of_band_buffer": (pickle_of(b"\x97"), "an out-of-band buffer"),
    "instance_opcode": (b"(ios\nsystem\n.", "an instance of a class"),
}
