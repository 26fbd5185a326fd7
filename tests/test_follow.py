"""Acquisition.follow() against a writer process: each event once, in order,
only when complete; ends on timeout, removal and Ctrl-C."""

import multiprocessing
import os
import random
import shutil
import signal
import struct
import threading
import time

import numpy as np
import pytest

import acqwriter
import vintrel
from child_process import in_child
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=2, windows=4, samples=8)
POOL = [merrowv3.sample_event(PARAMS, random.Random(k)) for k in range(40)]


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)


def write_event(root, n, event, way):
    """Appends one event to chunk n the way a recorder might."""
    bin_path, idx_path = root / f"{n}.bin", root / f"{n}.idx"
    entry = struct.pack("<II", bin_path.stat().st_size if bin_path.exists() else 0, len(event))
    if way == "data, then index":
        append(bin_path, event)
        append(idx_path, entry)
    elif way == "index, then data in pieces":
        append(idx_path, entry)
        for piece in (event[:5], event[5:len(event) // 2], event[len(event) // 2:]):
            time.sleep(0.001)
            append(bin_path, piece)
    elif way == "entry in pieces around the data":
        append(idx_path, entry[:3])
        append(bin_path, event)
        time.sleep(0.001)
        append(idx_path, entry[3:])


def writer(root, first, events, chunk_size, way="data, then index", then=None):
    """A process appending `events` as events first, first + 1, ... in chunks
    of `chunk_size`, then doing `then`."""
    def body():
        for k, event in enumerate(events, first):
            write_event(root, k // chunk_size, event, way)
            time.sleep(0.002)
        if then is not None:
            then(root)
    process = multiprocessing.get_context("fork").Process(target=body)
    process.start()
    return process


def gather(batches, count):
    """Indices, samples and errors of the batches, up to `count` events."""
    indices, data, errors = [], [], []
    for batch in batches:
        indices += batch.index.tolist()
        data.append(batch.data)
        errors += [(i, type(e).__name__) for i, e in batch.errors]
        if len(indices) + len(errors) >= count:
            break
    return indices, np.concatenate(data) if data else np.zeros(0, np.float32), errors


@pytest.mark.parametrize("polling", [False, True], ids=["notified", "polling"])
@pytest.mark.parametrize("way", ["data, then index", "index, then data in pieces", "entry in pieces around the data"])
def test_each_event_once_in_order_across_chunks(make_acq, monkeypatch, polling, way):
    if polling:
        monkeypatch.setenv("VINTREL_FOLLOW_POLLING", "1")
    root = make_acq(PARAMS, POOL[:4], chunk_size=3)  # chunk 1 holds 1 event and grows
    acq = vintrel.Acquisition(root)

    def follow_all():
        # Notified, it must not need its timer: a lost wake-up hangs the child.
        batches = acq.follow(0, step_size=4, poll=0.05 if polling else 1000)
        proc = writer(root, 4, POOL[4:30], 3, way)
        try:
            return gather(batches, 30)
        finally:
            proc.join(30)

    indices, data, errors = in_child(follow_all)
    whole = acq.arrays()
    assert (indices, errors) == (list(range(30)), [])
    assert acq.chunk_count == 10 and np.array_equal(data, whole.data)


def test_start_none_gives_the_events_recorded_from_the_call_on(make_acq):
    root = make_acq(PARAMS, POOL[:5])
    acq = vintrel.Acquisition(root)

    def follow_new():
        batches = acq.follow(step_size=100, poll=0.05)
        proc = writer(root, 5, POOL[5:8], 100)
        try:
            return gather(batches, 3)[0]
        finally:
            proc.join(30)

    assert in_child(follow_new) == [5, 6, 7]


def test_timeout_after_the_writer_stops_reports_what_never_completed(make_acq):
    """Events that cannot be parsed are errors at once; an entry whose data
    never came is waited for, then reported when the iteration times out."""
    root = make_acq(PARAMS, POOL[:4] + [b"\x01\x02\x03"] + POOL[4:6])
    append(root / "0.idx", struct.pack("<II", (root / "0.bin").stat().st_size, 100))
    batches = [(b.index.tolist(), [(i, type(e).__name__) for i, e in b.errors])
               for b in vintrel.Acquisition(root).follow(0, timeout=0.3, poll=0.05)]
    assert batches == [([0, 1, 2, 3, 5, 6], [(4, "ParsingError")]), ([], [(7, "IndexError")])]


def test_removed_acquisition_ends_with_file_not_found(make_acq):
    root = make_acq(PARAMS, POOL[:2])
    acq = vintrel.Acquisition(root)

    def follow_until_removed():
        batches = acq.follow(0, poll=0.05)
        proc = writer(root, 2, POOL[2:6], 3, then=shutil.rmtree)
        seen = []
        try:
            with pytest.raises(FileNotFoundError):
                for batch in batches:
                    seen += batch.index.tolist()
        finally:
            proc.join(30)
        return seen

    seen = in_child(follow_until_removed)
    assert seen == list(range(len(seen)))  # a prefix, in order, whatever was read before the removal


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("polling", [False, True], ids=["notified", "polling"])
def test_ctrl_c_ends_the_iteration_and_closes_the_watch(make_acq, monkeypatch, polling):
    if polling:
        monkeypatch.setenv("VINTREL_FOLLOW_POLLING", "1")
    acq = vintrel.Acquisition(make_acq(PARAMS, POOL[:2]))

    def interrupted():
        before = open_descriptors()
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        batches = list(acq.follow(poll=10))
        return batches, open_descriptors() - before

    assert in_child(interrupted) == ([], 0)


@pytest.mark.parametrize("kwargs, error", [
    ({"start": -1}, ValueError),
    ({"start": "0"}, TypeError),
    ({"step_size": 0}, ValueError),
    ({"timeout": -1}, ValueError),
    ({"timeout": "1"}, TypeError),
    ({"poll": 0}, ValueError),
    ({"poll": float("nan")}, ValueError),
    ({"poll": None}, TypeError),
])
def test_arguments_are_checked_at_the_call(make_acq, kwargs, error):
    acq = vintrel.Acquisition(make_acq(PARAMS, POOL[:1]))
    with pytest.raises(error):
        acq.follow(**kwargs)
