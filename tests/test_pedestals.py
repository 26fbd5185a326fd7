"""Pedestal files (gzip-compressed pickles) and pedestal correction, seen
through export_csv: a file that loads changes the data cells; a file that
exists but does not load leaves the export uncorrected, with one
RuntimeWarning naming the file and the reason."""

import gzip
import os
import pickle
import struct
import warnings

import numpy as np
import pytest

import vintrel
from encoders import merrowv3
from test_csv_layout import cell

SAMPLES = 2
# Channel 0 reads window 1, channel 1 reads window 2.
EVENT = merrowv3.encode_windows([[(0, 1, [10, 20]), (1, 2, [30, 40])]])
RAW = [10, 20, 30, 40]
BIG = 2 ** 40 + 1
# [channel][label][sample]; ints and floats mixed, 3 and 3.0 the same pedestal.
TABLE = [[[], [1, 2.5]], [[7.0], [], [3, -BIG]]]
CORRECTED = [cell(np.float32(r) - np.float32(p)) for r, p in zip(RAW, [1, 2.5, 3, -BIG])]


def data_cells(make_acq, tmp_path, pedestal_file: bytes | None, event=EVENT, samples=SAMPLES, refused=None):
    """The data cells of the export; `refused` is the reason the one
    RuntimeWarning must give, None when there must be no warning."""
    root = make_acq(merrowv3.sample_params(channels=3, windows=64, samples=samples), [event])
    if pedestal_file is not None:
        (root / "pedestals_calibration").write_bytes(pedestal_file)
    out = tmp_path / f"out-{root.name}"
    out.mkdir()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vintrel.export_csv(vintrel.Acquisition(root), [0], out, True)
    if refused is None:
        assert caught == []
    else:
        assert [w.category for w in caught] == [RuntimeWarning]
        if pedestal_file is not None:
            assert f"'{root / 'pedestals_calibration'}'" in str(caught[0].message)
        assert refused in str(caught[0].message)
    lines = (out / f"{root.name} (chunk 0).csv").read_text().splitlines()[1:]
    return [f for line in lines for f in line.split(",")[3::3] if f]


def gz(obj, protocol=None) -> bytes:
    return gzip.compress(pickle.dumps(obj, protocol=protocol))


def tuples(value):
    """The same table with every level a tuple."""
    return tuple(tuples(v) for v in value) if isinstance(value, list) else value


def test_uncorrected_baseline(make_acq, tmp_path):
    assert data_cells(make_acq, tmp_path, None, refused="no pedestals_calibration file") == [str(v) for v in RAW]


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("wrap", [
    lambda t: {"data": t},
    lambda t: {"version": 3, "data": t, "note": "ignored"},
    lambda t: [t, "second element ignored"],
    lambda t: (t,),
    lambda t: {"data": tuples(t)},
    lambda t: [[tuple(ch) for ch in t]],       # tuples of lists, mixed
    lambda t: {"data": t, "valid": True, "stale": False},
])
def test_tables_load_in_every_protocol(make_acq, tmp_path, protocol, wrap):
    assert data_cells(make_acq, tmp_path, gz(wrap(TABLE), protocol)) == CORRECTED


@pytest.mark.parametrize("protocol", range(6))
def test_shared_and_memoised_lists(make_acq, tmp_path, protocol):
    # The same window list under every label: pickled once, then referenced.
    window = [5, 0.25]
    channel = [window, window, window]
    table = [channel, channel]
    got = data_cells(make_acq, tmp_path, gz({"data": table, "again": table}, protocol))
    assert got == [cell(np.float32(r) - np.float32(p)) for r, p in zip(RAW, [5, 0.25, 5, 0.25])]


def test_only_the_first_gzip_member_is_read(make_acq, tmp_path):
    assert data_cells(make_acq, tmp_path, gz({"data": TABLE}) + gzip.compress(b"junk")) == CORRECTED
    assert data_cells(make_acq, tmp_path, gz({"data": TABLE}) + b"not gzip at all") == CORRECTED


def replace_once(data: bytes, old: bytes, new: bytes) -> bytes:
    assert data.count(old) == 1
    return data.replace(old, new)


def flipped(data: bytes, at: int) -> bytes:
    b = bytearray(data)
    b[at] ^= 0x55
    return bytes(b)


class Reduce:
    """Pickles as a call of os.mkdir: a reader that executed pickles would
    create the directory."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return os.mkdir, (self.path,)


def nested_lists(depth: int) -> bytes:
    # EMPTY_LIST x depth, then APPEND each list into the one below it.
    return b"\x80\x02" + b"]" * depth + b"a" * (depth - 1) + b"."


def cyclic():
    loop = []
    loop.append(loop)
    return {"data": loop}


GOOD = pickle.dumps({"data": TABLE}, protocol=4)

INVALID = {
    "not gzip": GOOD,
    "empty file": b"",
    "gzip header only": gzip.compress(GOOD)[:10],
    "truncated in the middle": gzip.compress(GOOD)[:len(gzip.compress(GOOD)) // 2],
    "truncated checksum": gzip.compress(GOOD)[:-3],
    "corrupt deflate data": flipped(gzip.compress(GOOD), 15),
    "corrupt checksum": flipped(gzip.compress(GOOD), -6),
    "byte after STOP": gzip.compress(GOOD + b"\x00"),
    "two pickles": gzip.compress(GOOD + GOOD),
    "pickled None": gz(None),
    "empty list": gz([]),
    "empty tuple": gz(()),
    "dict without data": gz({"pedestals": TABLE}),
    "data twice": gzip.compress(replace_once(pickle.dumps({"data": TABLE, "datX": TABLE}, 2), b"datX", b"data")),
    "bytes key": gz({b"data": TABLE}),
    "number": gz(3.5),
    "text": gz("data"),
    "bytes": gz(b"data"),
    "two levels": gz({"data": [[1.0, 2.0]]}),
    "four levels": gz({"data": [[[[1.0]]]]}),
    "bool in table": gz({"data": [[[], [True, 1.0]], []]}, 0),
    "bool in table, protocol 4": gz({"data": [[[], [False, 1.0]], []]}, 4),
    "None in table": gz({"data": [[[], [None, 1.0]], []]}),
    "text in table": gz({"data": [[[], ["1.0", 1.0]], []]}),
    "int beyond 64 bits, text": gz({"data": [[[], [2 ** 63, 1.0]], []]}, 0),
    "int beyond 64 bits, binary": gz({"data": [[[], [-(2 ** 63) - 1, 1.0]], []]}, 2),
    "set elsewhere in the dict": gz({"data": TABLE, "extra": {1, 2}}, 4),
    "class instance": gz({"data": TABLE, "extra": Reduce("/nonexistent-vintrel-probe")}, 2),
    "protocol 6": b"\x80\x06" + GOOD[2:],
    "cyclic list": gz(cyclic(), 2),
    "deeply nested lists": gzip.compress(nested_lists(200_000)),
    # Lengths that would exhaust memory if trusted before the bytes arrive.
    "huge BINUNICODE8": gzip.compress(b"\x80\x04\x8d" + struct.pack("<Q", 2 ** 62) + b"data"),
    "huge LONG4": gzip.compress(b"\x80\x02\x8b" + struct.pack("<i", 2 ** 31 - 1) + b"\x01" * 10),
    "negative BINSTRING": gzip.compress(b"\x80\x01T" + struct.pack("<i", -5) + b"."),
    "huge FRAME": gzip.compress(b"\x80\x04\x95" + struct.pack("<Q", 2 ** 63) + b"N."),
    "endless text line": gzip.compress(b"F" + b"1" * (3 << 20)),
    "GET of unknown memo": gzip.compress(b"\x80\x02h\x07."),
    "APPEND without list": gzip.compress(b"\x80\x02NNa."),
    "STOP on empty stack": gzip.compress(b"\x80\x02."),
    "unclosed MARK": gzip.compress(b"\x80\x02(]."),
}


@pytest.mark.parametrize("name", INVALID)
def test_invalid_files_mean_no_correction(make_acq, tmp_path, name):
    assert data_cells(make_acq, tmp_path, INVALID[name], refused="") == [str(v) for v in RAW]


@pytest.mark.parametrize("name, reason", [
    ("not gzip", "not a valid gzip file"),
    ("truncated in the middle", "the file ends early"),
    ("pickled None", "the pickled value is None"),
    ("dict without data", "not a pedestal table"),
    ("byte after STOP", "bytes follow the pickle"),
    ("class instance", "an object of a class"),
    ("endless text line", "beyond the size limits"),
    ("directory", "could not read it: Is a directory"),
])
def test_refused_files_say_why(make_acq, tmp_path, name, reason):
    if name == "directory":
        root = make_acq(merrowv3.sample_params(channels=3, windows=64, samples=SAMPLES), [EVENT])
        (root / "pedestals_calibration").mkdir()
        with pytest.warns(RuntimeWarning, match=reason):
            vintrel.export_csv(vintrel.Acquisition(root), [0], tmp_path, True)
        return
    data_cells(make_acq, tmp_path, INVALID[name], refused=reason)


def outcomes(make_acq, files):
    """For each pedestal file, through one acquisition: why it was refused
    (None when it was used), and the data cells."""
    root = make_acq(merrowv3.sample_params(channels=3, windows=64, samples=SAMPLES), [EVENT])
    acq, out = vintrel.Acquisition(root), root / "out"
    out.mkdir()
    found = []
    for data in files:
        (root / "pedestals_calibration").write_bytes(data)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            vintrel.export_csv(acq, [0], out, True)
        lines = (out / f"{root.name} (chunk 0).csv").read_text().splitlines()[1:]
        reason = str(caught[0].message).partition("not corrected: ")[2] if caught else None
        found.append((reason, [f for line in lines for f in line.split(",")[3::3] if f]))
    return found


@pytest.mark.parametrize("protocol", range(6))
def test_every_truncated_pickle_is_refused(make_acq, protocol):
    data = pickle.dumps({"data": TABLE, "note": ("n" * 256, 2 ** 70, -(2 ** 40), 0.5, None, True)}, protocol)
    found = outcomes(make_acq, [gzip.compress(data[:n]) for n in range(len(data))])
    assert {(reason, tuple(cells)) for reason, cells in found} == {("the file ends early", tuple(str(v) for v in RAW))}


# Protocol 0 as Python 2 wrote it too: quoted STRING lines with escapes,
# UNICODE lines with \u escapes; floats below double's range (zero) and
# beyond it (pickle refuses them); INT and LONG lines.
P0 = pickle.dumps({"data": TABLE}, 0)
P0_FORMS = [replace_once(P0, b"\nVdata\n", b"\n" + key + b"\n") for key in (
    b"S'data'", b'S"d\\x61ta"', b"S'\\144a\\164a'", b"S'dat\\a'", b"S'da\\qta'", b"S'data\"", b"S'", b"S'd\\x6'",
    b"S'data\\'", b"S'\\n\\t\\r\\b\\f\\v\\\\\\'\\\"data'", b"V\\u0064ata", b"Vd\\U00000061ta", b"V\\u0064at",
    b"Vd\\u006Gata", b"Vdata\\u00", b"S'd\\x61t\\x4A'", b"V\\u004A\\u006a",
)] + [replace_once(P0, b"aF2.5\n", b"a" + number + b"\n") for number in (
    b"F1e-999", b"F-1E-999", b"F+2.5", b"F2.5x", b"F", b"F1e999", b"F-1e999",
    b"I3", b"I-3", b"I+3", b"I3x", b"I", b"I-", b"I3_", b"L3L", b"L-3", b"L+_3", b"L3",
)]


def test_protocol_0_text_reads_as_pickle_reads_it(make_acq):
    expected = []
    for data in P0_FORMS:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # the unknown escape \q
                t = pickle.loads(data)["data"]
        except Exception:
            expected.append((True, [str(v) for v in RAW]))
        else:
            pedestals = [t[0][1][0], t[0][1][1], t[1][2][0], t[1][2][1]]
            expected.append((False, [cell(np.float32(r) - np.float32(p)) for r, p in zip(RAW, pedestals)]))
    found = outcomes(make_acq, [gzip.compress(data) for data in P0_FORMS])
    assert [(reason is not None, cells) for reason, cells in found] == expected


@pytest.mark.parametrize("out_dir, raised", [("out", RuntimeWarning), ("missing", "ExportError")])
def test_warning_as_error_comes_after_the_files(make_acq, tmp_path, out_dir, raised):
    root = make_acq(merrowv3.sample_params(channels=3, windows=64, samples=SAMPLES), [EVENT])
    (root / "pedestals_calibration").write_bytes(INVALID["not gzip"])
    (tmp_path / "out").mkdir()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(Exception) as info:
            vintrel.export_csv(vintrel.Acquisition(root), [0], tmp_path / out_dir, True)
    if raised is RuntimeWarning:
        assert type(info.value) is RuntimeWarning
        assert (tmp_path / "out" / f"{root.name} (chunk 0).csv").exists()
    else:
        # The export's error wins; the warning raised on the way is its context.
        assert type(info.value).__name__ == raised
        assert type(info.value.__context__) is RuntimeWarning


def test_pickles_are_never_executed(make_acq, tmp_path):
    target = tmp_path / "made-by-pickle"
    data_cells(make_acq, tmp_path, gz({"data": TABLE, "x": Reduce(str(target))}, 2), refused="object of a class")
    assert not target.exists()


def test_memo_expansion_is_bounded(make_acq, tmp_path):
    # A few kilobytes of memo references that would expand to 10^10 pedestals.
    window = [0.0] * 1000
    channel = [window] * 10_000
    bomb = gz({"data": [channel] * 1000}, 4)
    assert len(bomb) < 100_000
    assert data_cells(make_acq, tmp_path, bomb, refused="size limits") == [str(v) for v in RAW]


# ---- correction of events ----

def two_windows(labels, samples):
    return merrowv3.encode_windows([[(2, label, [100 + 10 * k + j for j in range(samples)])]
                                    for k, label in enumerate(labels)])


def test_each_window_uses_its_own_label(make_acq, tmp_path):
    table = [[], [], [[]] * 7 + [[1, 2, 3, 4], [5, 6, 7, 8]]]
    got = data_cells(make_acq, tmp_path, gz({"data": table}), event=two_windows([7, 8], 4), samples=4)
    raw = [100, 101, 102, 103, 110, 111, 112, 113]
    assert got == [str(r - p) for r, p in zip(raw, [1, 2, 3, 4, 5, 6, 7, 8])]


@pytest.mark.parametrize("table, kept", [
    ([[], [], [[]] * 7 + [[1, 2, 3, 4]]], ["99", "99", "99", "99"]),             # label 8 missing
    ([[], [], [[]] * 7 + [[1, 2, 3, 4], [5, 6, 7]]], ["99", "99", "99", "99"]),  # window 8 one sample short
    ([[], []], []),                                                              # channel 2 missing
])
def test_events_the_table_does_not_cover_are_left_out(make_acq, tmp_path, table, kept):
    # Events reading windows (7, 8), (7) and (8): only those the table covers remain.
    root = make_acq(merrowv3.sample_params(channels=3, windows=64, samples=4),
                    [two_windows([7, 8], 4), two_windows([7], 4), two_windows([8], 4)])
    (root / "pedestals_calibration").write_bytes(gz({"data": table}))
    out = tmp_path / "out"
    out.mkdir()
    vintrel.export_csv(vintrel.Acquisition(root), [0, 1, 2], out, True)
    lines = (out / f"{root.name} (chunk 0).csv").read_text().splitlines()[1:]
    assert [line.split(",")[3] for line in lines] == kept
    assert {line.split(",")[1] for line in lines} <= {"0"}
