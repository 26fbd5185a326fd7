"""Acquisition.arrays(): the same numbers as the event dictionaries for every
board, failures listed with acq[i]'s exception, dense and awkward views of the
same memory, argument conversion shared with export_csv, the interpreter lock
released, and pedestal correction identical to the CSV export's."""

import csv
import gc
import gzip
import inspect
import pickle
import random
import struct
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import vintrel
from encoders import MODULES, encoder_for, merrowv3
from lock_probe import steps_during

SMALL = merrowv3.sample_params(channels=1, windows=64, samples=1)


def lists(values, offsets):
    return [values[offsets[k]:offsets[k + 1]].tolist() for k in range(len(offsets) - 1)]


def as_dicts(arrays):
    """The event dictionaries, rebuilt from the flat arrays and their offsets."""
    fields = {"data": lists(arrays.data, arrays.data_offsets),
              "window_labels": lists(arrays.window_labels, arrays.window_label_offsets),
              "time": lists(arrays.time, arrays.time_offsets),
              "timing": arrays.timing is not None and lists(arrays.timing, arrays.timing_offsets),
              "ecc_errors": arrays.ecc_errors is not None and [
                  [tuple(r) for r in zip(*columns)]
                  for columns in zip(*(lists(f, arrays.ecc_error_offsets) for f in arrays.ecc_errors))]}
    bounds = arrays.channel_offsets
    return [{key: value[bounds[i]:bounds[i + 1]] if value is not False else None for key, value in fields.items()}
            for i in range(len(arrays))]


def awkward():
    try:
        import awkward as ak
    except ImportError:
        return None
    return ak


def outcome(acq, index):
    try:
        return acq[index]
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return exc


def sample_events(model, count=5):
    """Events of several shapes, a truncated one and an empty one."""
    enc = encoder_for(model)
    params = enc.sample_params(model=model)
    rng = random.Random(model)
    shaped = "window_count" in inspect.signature(enc.sample_event).parameters
    events = [enc.sample_event(params, rng, **({"window_count": 2 + k % 3} if shaped else {})) for k in range(count)]
    return params, events + [events[0][:-2], b""]


@pytest.mark.parametrize("model", sorted(MODULES))
def test_every_model_gives_the_numbers_of_the_dictionaries(make_acq, model):
    params, events = sample_events(model)
    acq = vintrel.Acquisition(make_acq(params, events, chunk_size=3))
    asked = [6, 0, 5, 1, 99, 2, 3, 2, 4, 2 ** 63]
    arrays = acq.arrays(asked)
    outcomes = {i: outcome(acq, i) for i in asked}
    assert arrays.index.dtype == np.int64
    assert arrays.index.tolist() == [i for i in asked if isinstance(outcomes[i], dict)]
    assert as_dicts(arrays) == [outcomes[i] for i in arrays.index]
    assert [(i, type(e), str(e)) for i, e in arrays.errors] == \
        [(i, type(outcomes[i]), str(outcomes[i])) for i in asked if not isinstance(outcomes[i], dict)]
    assert {arrays.data.dtype, arrays.time.dtype, arrays.window_labels.dtype} == {np.dtype("f4"), np.dtype("u2")}
    assert len(arrays) and arrays.errors  # both kinds occur for every board
    if arrays.timing is not None:
        assert arrays.timing.dtype == np.uint32
    if ak := awkward():
        absent = {k for k, v in outcomes[int(arrays.index[0])].items() if v is None}
        expected = [{k: v for k, v in outcomes[i].items() if k not in absent} for i in arrays.index]
        assert ak.to_list(arrays.to_awkward()) == expected
        indexed = arrays.to_awkward(index=True)
        assert indexed.fields[0] == "index" and indexed.fields[1:] == arrays.to_awkward().fields
        assert ak.to_list(indexed) == [{"index": i, **e} for i, e in zip(arrays.index.tolist(), expected)]


def test_events_larger_than_the_first_move_the_columns(make_acq):
    # The columns are sized from the first event: later ones of eight times its windows outgrow their mappings.
    params, rng = merrowv3.sample_params(), random.Random(3)
    events = [merrowv3.sample_event(params, rng, window_count=1 + 7 * (k > 0)) for k in range(200)]
    acq = vintrel.Acquisition(make_acq(params, events))
    assert as_dicts(acq.arrays()) == acq[0:200]


def test_unsupported_model_fails_each_event_as_a_subscript_does(make_acq):
    acq = vintrel.Acquisition(make_acq({**SMALL, "model": "merrowv4"}, [b"\0\0"] * 2))
    arrays = acq.arrays([1, 5])
    assert len(arrays) == 0 and arrays.channel_offsets.tolist() == [0]
    assert [(i, type(e).__name__, str(e)) for i, e in arrays.errors] == [
        (1, "ParsingError", "Failed to parse event: data is from an unsupported board model"),
        (5, "IndexError", "Index out of bounds")]


def test_index_entries_in_any_order_read_as_one_by_one(make_acq):
    """Reading in order reads ahead; entries that go back, repeat, jump past
    the window or are empty must read as single reads do."""
    params = merrowv3.sample_params()
    rng = random.Random(3)
    events = [merrowv3.sample_event(params, rng) for _ in range(4)]
    data = events[0] + events[1] + events[2] + bytes(3 << 20) + events[3]
    starts = [0, len(events[0]), len(events[0] + events[1]), len(data) - len(events[3])]
    order = [0, 2, 1, 1, 3, 0, None, 3]
    entries = [(starts[k], len(events[k])) if k is not None else (7, 0) for k in order]
    root = make_acq(params, [])
    (root / "0.bin").write_bytes(data)
    (root / "0.idx").write_bytes(b"".join(struct.pack("<II", *e) for e in entries))
    acq = vintrel.Acquisition(root)
    arrays = acq.arrays()
    assert arrays.index.tolist() == [0, 1, 2, 3, 4, 5, 7]
    assert as_dicts(arrays) == [acq.parsed_event(i) for i in arrays.index]


# ---- dense and awkward views of the same memory ----

def test_dense_views_share_the_buffers_and_outlive_the_object(make_acq):
    params = merrowv3.sample_params()
    rng = random.Random(1)
    acq = vintrel.Acquisition(make_acq(params, [merrowv3.sample_event(params, rng) for _ in range(6)]))
    arrays = acq.arrays()
    dense = arrays.to_numpy()
    assert {k: v.shape for k, v in dense.items()} == {"data": (6, 4, 512), "window_labels": (6, 4, 8),
                                                      "time": (6, 4, 512)}
    for name, view in dense.items():
        flat = getattr(arrays, name)
        assert np.shares_memory(view, flat) and view.flags.writeable
    assert dense["data"].tolist() == [acq[i]["data"] for i in range(6)]
    if awkward():
        layout = arrays.to_awkward().layout
        assert np.shares_memory(np.asarray(layout.content("data").content.content.data), arrays.data)
    expected = dense["data"].copy()
    data = dense["data"]
    del arrays, dense
    gc.collect()
    assert np.array_equal(data, expected)  # the view keeps the memory alive


@pytest.mark.parametrize("shapes, message", [
    ([(2, 3), (2, 3), (2, 2)], r"event 2 \(position 2\) has 128 data values in channel 0, event 0 has 192"),
    ([(2, 3), (2, 4), (2, 3)], r"event 1 \(position 1\) has 256 data values in channel 0, event 0 has 192"),
    ([(2, 3), (1, 3)], r"event 1 \(position 1\) has 0 data values in channel 1, event 0 has 192"),
])
def test_ragged_events_name_the_first_that_differs(make_acq, shapes, message):
    params = merrowv3.sample_params(channels=2)
    rng = random.Random(2)
    events = [merrowv3.encode_event([[[rng.randrange(4096) for _ in range(64)] for _ in range(windows)]] * channels,
                                    list(range(windows))) for channels, windows in shapes]
    arrays = vintrel.Acquisition(make_acq(params, events)).arrays()
    with pytest.raises(ValueError, match=message):
        arrays.to_numpy()


def test_to_awkward_names_the_extra_without_awkward(make_acq, monkeypatch):
    arrays = vintrel.Acquisition(make_acq(SMALL, [merrowv3.encode_windows([[(0, 1, [5])]])])).arrays()
    monkeypatch.setitem(sys.modules, "awkward", None)
    with pytest.raises(ImportError, match=r"pip install vintrel\[awkward\]"):
        arrays.to_awkward()


# ---- arguments: the conversions of export_csv ----

def small_acq(make_acq, n=10):
    return vintrel.Acquisition(make_acq(SMALL, [merrowv3.encode_windows([[(0, 1, [v])]]) for v in range(n)]))


@pytest.mark.parametrize("indices, expected", [
    (None, list(range(10))), (range(8, 2, -3), [8, 5]), (slice(None, None, 4), [0, 4, 8]), (slice(-2, 50), [8, 9]),
    ((i for i in (3, 3, 1)), [3, 3, 1]), ({7}, [7]), (np.array([2, 1], dtype=np.uint64), [2, 1]), ([], []),
    (range(2**63 - 1, 2**63 + 1), []),  # its last element is beyond a signed 64-bit integer
])
def test_index_forms(make_acq, indices, expected):
    arrays = small_acq(make_acq).arrays(indices)
    assert arrays.index.tolist() == expected and arrays.data.tolist() == expected
    beyond = isinstance(indices, range) and indices.start >= 10
    assert [i for i, _ in arrays.errors] == (list(indices) if beyond else [])


@pytest.mark.parametrize("bad", ["0123", [-1], [2 ** 64], [0, 1.5], range(3, -2, -1)])
def test_bad_indices_raise_as_export_csv_does(make_acq, tmp_path, bad):
    acq = small_acq(make_acq)
    with pytest.raises(Exception) as ours:
        acq.arrays(bad)
    with pytest.raises(Exception) as export:
        vintrel.export_csv(acq, bad, tmp_path, False)
    assert (type(ours.value), str(ours.value)) == (type(export.value), str(export.value))


@pytest.mark.parametrize("call, error, message", [
    (lambda acq: acq.arrays(5), TypeError, "argument 'indices': 'int' object is not iterable"),
    (lambda acq: acq.arrays(slice(None, None, -1)), IndexError, "index out of bounds"),
    (lambda acq: acq.arrays(slice(0, 3, 0)), ValueError, "slice step cannot be zero"),
    (lambda acq: acq.arrays(None, pedestals_correction=1), TypeError, "argument 'pedestals_correction': "),
    (lambda acq: acq.arrays(None, False), TypeError, "arrays() takes at most 1 positional argument"),
])
def test_argument_errors(make_acq, call, error, message):
    with pytest.raises(error) as info:
        call(small_acq(make_acq))
    assert str(info.value).startswith(message)


# ---- the interpreter lock ----

def test_other_threads_run_while_events_are_read(make_acq):
    acq = small_acq(make_acq, 200)
    indices = list(range(200)) * 5000
    arrays, seconds, steps = steps_during(lambda: acq.arrays(indices))
    assert len(arrays) == len(indices) and seconds > 0.05 and steps > 1000


# ---- pedestals: the correction of export_csv ----

def test_pedestals_give_the_numbers_of_the_csv_export(make_acq, tmp_path):
    params = merrowv3.sample_params()
    rng = np.random.default_rng(4)
    labels = [[0, 1, 2], [2, 3, 4], [5, 6, 7], [1, 2, 3], [8, 0, 1]]
    events = [merrowv3.encode_event(rng.integers(0, 4096, size=(4, 3, 64)).tolist(), ls) for ls in labels]
    table = rng.normal(100, 30, size=(4, params["windows"], params["samples"])).astype(np.float32).tolist()
    table[3] = table[3][:5]  # no pedestals for labels 5 to 8 of channel 3: events 2 and 4 fail their correction
    root = make_acq(params, events)
    (root / "pedestals_calibration").write_bytes(gzip.compress(pickle.dumps({"data": table})))
    acq = vintrel.Acquisition(root)
    arrays = acq.arrays(pedestals_correction=True)
    vintrel.export_csv(acq, range(5), tmp_path, True)
    with open(tmp_path / f"{root.name} (chunk 0).csv") as f:
        rows = list(csv.DictReader(f))
    exported = [[[np.float32(r[f"data_ch{c}"]) for r in rows if r["evt_num"] == str(k)] for c in range(4)]
                for k in range(len(arrays))]
    assert arrays.pedestals_corrected and arrays.index.tolist() == [0, 1, 3]
    assert [d["data"] for d in as_dicts(arrays)] == [[[float(v) for v in ch] for ch in e] for e in exported]
    assert [(i, type(exc)) for i, exc in arrays.errors] == [(2, ValueError), (4, ValueError)]
    assert str(arrays.errors[0][1]).startswith("pedestal correction failed")


@pytest.mark.parametrize("contents, warning", [
    (None, "no pedestals_calibration file; the events are not pedestal-corrected"),
    (b"not gzip", r"pedestal file '.*pedestals_calibration' was not used, the events are not corrected: \w"),
])
def test_unusable_pedestal_file_warns_and_reads_uncorrected(make_acq, contents, warning):
    acq = small_acq(make_acq)
    if contents is not None:
        (Path(acq.path) / "pedestals_calibration").write_bytes(contents)
    with pytest.warns(RuntimeWarning, match=warning):
        arrays = acq.arrays(pedestals_correction=True)
    assert not arrays.pedestals_corrected and arrays.data.tolist() == list(range(10))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the warning raised as an error leaves no result behind
        with pytest.raises(RuntimeWarning, match=warning):
            acq.arrays(pedestals_correction=True)
