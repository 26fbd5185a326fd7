"""CSV layout of exported files: header, channel set, merged window order,
row placement, Bad-channel warnings and the number format. Files are checked
byte for byte, against literal text or against a small Python rendering of
the layout built from vintrel's own parsed dictionaries."""


import numpy as np
import pytest

import vintrel
from encoders import merrowv3, pikorv1


# ---- a Python rendering of the layout, used as the expected output ----

def cell(value) -> str:
    """Shortest round-trip float32 digits, positional; NaN is an empty cell."""
    v = np.float32(value)
    return "" if np.isnan(v) else np.format_float_positional(v, unique=True, trim="-")


def merge_labels(label_lists):
    lists = [list(seq) for seq in label_lists if seq]
    merged = []
    while lists:
        wrapping = [s for s in lists if s[-1] < s[0]]
        rising = [s for s in lists if s[0] < s[-1]]
        offers = []
        if wrapping and rising:
            offers = [s[0] for s in wrapping if s[0] not in rising[0]]
        if not offers:
            offers = [s[0] for s in lists]
        low = min(offers)
        if not merged or merged[-1] != low:
            merged.append(low)
        lists = [s[1:] if s[0] == low else s for s in lists]
        lists = [s for s in lists if s]
    return merged


def corrected(event, pedestals, samples):
    """The event's samples as float32 after subtracting `pedestals`, or None
    when the table does not cover a sample (the event is left out)."""
    data = [np.asarray(ch, dtype=np.float32) for ch in event["data"]]
    if pedestals is None:
        return data
    for c, labels in enumerate(event["window_labels"]):
        if not labels or not len(data[c]):
            continue
        for j in range(len(data[c])):
            label = labels[j // samples] if j // samples < len(labels) else None
            try:
                data[c][j] = data[c][j] - np.float32(pedestals[c][label][j % samples])
            except (IndexError, TypeError):
                return None
    return data


def reference_csv(events, samples, timing=False, pedestals=None):
    """(file text, warning text) of one file holding `events` (dictionaries)."""
    rows_of = []
    for event in events:
        data = corrected(event, pedestals, samples)
        if data is not None:
            rows_of.append((event, data))
    chans = sorted({c for _, data in rows_of for c, d in enumerate(data) if len(d)})
    per = 4 if timing else 3
    header = ["acq_num", "evt_num"]
    for c in chans:
        header += [f"windnum_ch{c}", f"data_ch{c}", f"time_ch{c}"] + ([f"timing_ch{c}"] if timing else [])
    lines = [",".join(header)]
    warnings = []
    for i, (event, data) in enumerate(rows_of):
        labels = event["window_labels"]
        merged = merge_labels(labels)
        nrows = samples * len(merged)
        grid = [["0", str(i)] + [""] * (per * len(chans)) for _ in range(nrows)]
        for k, c in enumerate(chans):
            if c >= len(data) or not len(data[c]):
                continue
            base = merged.index(labels[c][0]) * samples
            n = len(data[c])
            if base + n > nrows:
                warnings.append(f"Bad channel {c} at Event {i}\n")
                continue
            for t in range(n):
                row = grid[base + t]
                row[2 + per * k] = cell(labels[c][t // samples])
                row[3 + per * k] = cell(data[c][t])
                row[4 + per * k] = cell(event["time"][c][t])
                if timing:
                    row[5 + per * k] = cell(np.float32(event["timing"][c][t // samples]))
        lines += [",".join(row) for row in grid]
    return "\n".join(lines) + "\n", "".join(warnings)


def export_text(acq, indices, out, correct=False):
    vintrel.export_csv(acq, indices, out, correct)
    files = sorted(out.iterdir())
    return [f.read_text() for f in files]


@pytest.fixture
def out(tmp_path):
    d = tmp_path / "out"
    d.mkdir()
    return d


def merrow_params(**kw):
    return merrowv3.sample_params(**{"windows": 64, "samples": 2, **kw})


# ---- the worked example and literal files ----

def test_worked_example_byte_for_byte(make_acq, out):
    event = merrowv3.encode_windows([[(0, 4, [1, 2])], [(1, 5, [3, 4])]])
    acq = vintrel.Acquisition(make_acq(merrow_params(), [event], name="run7"))
    vintrel.export_csv(acq, [0], out, False)
    assert (out / "run7 (chunk 0).csv").read_bytes() == (
        b"acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch1,data_ch1,time_ch1\n"
        b"0,0,4,1,0,,,\n"
        b"0,0,4,2,1,,,\n"
        b"0,0,,,,5,3,0\n"
        b"0,0,,,,5,4,1\n")


def test_channel_set_is_the_union_over_the_file(make_acq, out):
    a = merrowv3.encode_windows([[(0, 1, [1, 2]), (1, 1, [3, 4])]])
    b = merrowv3.encode_windows([[(1, 2, [5, 6]), (2, 2, [7, 8])]])
    acq = vintrel.Acquisition(make_acq(merrow_params(), [a, b]))
    assert export_text(acq, [0, 1], out) == [
        "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch1,data_ch1,time_ch1,"
        "windnum_ch2,data_ch2,time_ch2\n"
        "0,0,1,1,0,1,3,0,,,\n"
        "0,0,1,2,1,1,4,1,,,\n"
        "0,1,,,,2,5,0,2,7,0\n"
        "0,1,,,,2,6,1,2,8,1\n"]


def test_file_without_samples_holds_only_the_header(make_acq, out):
    acq = vintrel.Acquisition(make_acq(merrow_params(), [merrowv3.encode_windows([[(0, 1, [1, 2])]])]))
    assert export_text(acq, [5, 9], out) == ["acq_num,evt_num\n"]


def test_positions_count_written_events_only(make_acq, out):
    events = [merrowv3.encode_windows([[(0, 1, [v, v])]]) for v in (10, 20, 30)]
    acq = vintrel.Acquisition(make_acq(merrow_params(), events))
    text = export_text(acq, [0, 99, 1, 98, 2], out)[0]
    assert text.splitlines()[1:] == ["0,0,1,10,0", "0,0,1,10,1", "0,1,1,20,0", "0,1,1,20,1",
                                    "0,2,1,30,0", "0,2,1,30,1"]


# ---- merged window order and row placement ----

@pytest.mark.parametrize("lists, merged", [
    ([[5, 6, 7], [6, 7, 8]], [5, 6, 7, 8]),
    ([[6, 7, 0, 1], [0, 1, 2, 3]], [6, 7, 0, 1, 2, 3]),
    ([[6, 7, 0], [1, 2], [6, 7, 8]], [6, 7, 0, 1, 2, 8]),
    ([[3, 3]], [3]),
    ([[62, 63, 0, 1], [], [63, 0, 1, 2]], [62, 63, 0, 1, 2]),
])
def test_python_merge_matches_the_worked_merges(lists, merged):
    # The reference merge must agree with the documented examples before it
    # is trusted to check the exported files below.
    assert merge_labels(lists) == merged


@pytest.mark.parametrize("labels0, labels1", [
    ([6, 7, 0, 1], [0, 1, 2, 3]),      # wrapped windows come first
    ([62, 63, 0, 1], [63, 0, 1, 2]),   # both wrap
    ([5, 6, 7], [6, 7, 8]),
    ([1, 2, 3], [7, 8, 9]),            # disjoint: blocks do not overlap
    ([10, 11, 12], [10, 11, 12]),
])
def test_blocks_follow_the_merged_order(make_acq, out, labels0, labels1):
    samples = 4
    windows = [[(0, l0, [k * 10 + j for j in range(samples)]), (1, l1, [k * 10 + j + 5 for j in range(samples)])]
               for k, (l0, l1) in enumerate(zip(labels0, labels1))]
    params = merrow_params(samples=samples)
    acq = vintrel.Acquisition(make_acq(params, [merrowv3.encode_windows(windows)]))
    expected, _ = reference_csv([acq[0]], samples)
    assert export_text(acq, [0], out) == [expected]


def test_wrapping_channels_give_24_rows(make_acq, out):
    windows = [[(0, a, [1] * 4), (1, b, [2] * 4)] for a, b in zip([6, 7, 0, 1], [0, 1, 2, 3])]
    acq = vintrel.Acquisition(make_acq(merrow_params(samples=4), [merrowv3.encode_windows(windows)]))
    rows = export_text(acq, [0], out)[0].splitlines()[1:]
    assert len(rows) == 24
    ch0 = [r for r, line in enumerate(rows) if line.split(",")[3]]
    ch1 = [r for r, line in enumerate(rows) if line.split(",")[6]]
    assert ch0 == list(range(0, 16)) and ch1 == list(range(8, 24))


def test_repeated_window_is_a_bad_channel(make_acq, out, capfd):
    capfd.readouterr()
    event = merrowv3.encode_windows([[(1, 3, [1, 2])], [(1, 3, [3, 4])]])
    acq = vintrel.Acquisition(make_acq(merrow_params(), [event, event]))
    text = export_text(acq, [0, 1], out)[0]
    assert capfd.readouterr().out == "Bad channel 1 at Event 0\nBad channel 1 at Event 1\n"
    # The events are still written: S rows each, channel columns empty.
    assert text == "acq_num,evt_num,windnum_ch1,data_ch1,time_ch1\n0,0,,,\n0,0,,,\n0,1,,,\n0,1,,,\n"


# ---- number format ----

@pytest.mark.parametrize("pedestal, text", [
    (1e20, "-100000000000000000000"),
    (1.5e-7, "-0.00000015"),
    (0.1, "-0.1"),
    (-2.5, "2.5"),
    (2047.3521, "-2047.352"),        # fractions from 1 up to 2^23: the common sample cell
    (-1.0000001, "1.0000001"),
    (-8388607.5, "8388607.5"),
    (-0.99999994, "0.99999994"),
    (0.0, "0"),
    (16777217, "-16777216"),
    (float("inf"), "-inf"),
    (float("-inf"), "inf"),
    (float("nan"), ""),
    (1e300, "-inf"),                  # a double beyond float range rounds to infinity
    (2 ** 63 - 1, "-9223372000000000000"),
])
def test_number_format(make_acq, out, pedestal, text):
    event = merrowv3.encode_windows([[(0, 1, [0, 0])]])
    acq = vintrel.Acquisition(make_acq(merrow_params(), [event],
                                       side_files={"pedestals_calibration": {"data": [[[], [pedestal, 0.0]]]}}))
    lines = export_text(acq, [0], out, True)[0].splitlines()
    assert lines[1] == f"0,0,1,{text},0"
    assert lines[2] == "0,0,1,0,1"


def test_random_float32_bit_patterns_match_numpy_shortest_repr(make_acq, out):
    # Samples of 0 minus arbitrary float32 pedestals give cells of exactly
    # -pedestal: 4 channels x 8 windows x 64 samples x 4 events.
    rng = np.random.default_rng(20240611)
    params = merrowv3.sample_params()
    bits = rng.integers(0, 2 ** 32, size=(4, params["windows"], 64), dtype=np.uint64).astype(np.uint32)
    bits[0, :, :8] = rng.integers(0x3F800000, 0x4B800000, size=(params["windows"], 8))  # 1 .. 2^24
    table = bits.view(np.float32)
    zeros = [[[0] * 64 for _ in range(8)] for _ in range(4)]
    events = [merrowv3.encode_event(zeros, [(start + k) % 9 for k in range(8)]) for start in range(4)]
    acq = vintrel.Acquisition(make_acq(params, events,
                                       side_files={"pedestals_calibration": {"data": table.tolist()}}))
    got = export_text(acq, range(4), out, True)[0]
    dicts = [acq[i] for i in range(4)]
    expected, _ = reference_csv(dicts, 64, pedestals=table.tolist())
    assert got == expected
    # Guard against a vacuous comparison: most cells are non-trivial numbers.
    assert sum(1 for line in got.splitlines()[1:] for f in line.split(",")[3::3] if len(f) > 6) > 4000


# ---- pikorv1 timing columns ----

def test_timing_columns(make_acq, out):
    # 32-bit timing values: full 16-bit halves.
    keys = {"timing_shift": 16, "timing_mask": 0xFFFF}
    packets = [pikorv1.encode_packet(ch, label, timing, data, **keys) for ch, label, timing, data in
               [(0, 5, 16777217, [1, 2]), (0, 6, 16777218, [3, 4]), (2, 5, 7, [5, 6]), (2, 6, 8, [7, 8])]]
    params = pikorv1.sample_params(channels=3, windows=64, samples=2, **keys)
    acq = vintrel.Acquisition(make_acq(params, [pikorv1.encode_event(packets)]))
    event = acq[0]
    text = export_text(acq, [0], out)[0]
    expected, _ = reference_csv([event], 2, timing=True)
    assert text == expected
    assert text.splitlines()[0] == ("acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,timing_ch0,"
                                    "windnum_ch2,data_ch2,time_ch2,timing_ch2")
    assert event["timing"][0] == [16777217, 16777218]
    assert [line.split(",")[5] for line in text.splitlines()[1:3]] == ["16777216", "16777216"]
