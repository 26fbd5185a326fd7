"""Chunk files that change under the reader: truncated by another process
between and during reads, and growing (appended events, new chunks) while an
acquisition is iterated or exported. Reads must never kill the process: an
event is either read whole and right, or reported as out of bounds."""

import multiprocessing
import os
import random
import threading
import time

import pytest

import acqwriter
import vintrel
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=2, windows=4, samples=8)


def make_events(count, seed=0):
    rng = random.Random(seed)
    return [merrowv3.sample_event(PARAMS, rng) for _ in range(count)]


def truncate_and_restore(root, data, index, stop_after):
    """Another process: cuts both chunk files short (to nothing, to half) and
    writes them back whole, again and again."""
    deadline = time.monotonic() + stop_after
    bin_path, idx_path = os.path.join(root, "0.bin"), os.path.join(root, "0.idx")
    while time.monotonic() < deadline:
        for cut in (0, len(data) // 2, len(data) - 1):
            os.truncate(bin_path, cut)
            os.truncate(idx_path, min(cut, len(index)) // 2)
            with open(bin_path, "r+b") as f:
                f.write(data)
            with open(idx_path, "r+b") as f:
                f.write(index)


def test_truncation_by_another_process_never_kills_the_reader(make_acq):
    events = make_events(20)
    root = make_acq(PARAMS, events)
    data, index = acqwriter.chunk_bytes(events)
    acq = vintrel.Acquisition(root)
    expected = [acq.parsed_event(i) for i in range(len(events))]

    ctx = multiprocessing.get_context("spawn")
    writer = ctx.Process(target=truncate_and_restore, args=(str(root), data, index, 2.0))
    writer.start()
    seen = {"exact": 0, "out of bounds": 0}
    try:
        deadline = time.monotonic() + 2.0
        i = 0
        while time.monotonic() < deadline:
            k = i % len(events)
            i += 1
            try:
                raw = acq.raw_event(k)["rawdata"]
                parsed = acq.parsed_event(k)
            except IndexError as e:
                assert str(e) == "Index out of bounds"
                seen["out of bounds"] += 1
                continue
            except FileNotFoundError as e:
                assert str(e) == "Invalid path"
                continue
            except Exception as e:  # bytes cut short or zeroed while being read
                assert type(e).__name__ == "ParsingError", repr(e)
                continue
            # A read that overlaps the truncation itself may see the zeroes the
            # kernel puts there (no file system orders a read against a
            # truncate); it must still be a well-formed answer.
            assert isinstance(raw, bytes) and len(raw) <= len(events[k])
            assert list(parsed) == list(expected[k])
            if raw == events[k] and parsed == expected[k]:
                seen["exact"] += 1
    finally:
        writer.join(timeout=30)
    assert writer.exitcode == 0
    assert seen["exact"] > 0 and seen["out of bounds"] > 0
    # Once the writer is done the acquisition reads as before.
    assert [acq.parsed_event(i) for i in range(len(events))] == expected


@pytest.mark.parametrize("cut", ["data_half", "data_empty", "index_partial_entry", "index_empty", "index_removed"])
def test_truncated_chunk_reads_out_of_bounds(make_acq, cut):
    events = make_events(3)
    root = make_acq(PARAMS, events)
    acq = vintrel.Acquisition(root)
    assert acq.parsed_event(2) is not None
    data, index = acqwriter.chunk_bytes(events)
    if cut == "data_half":
        os.truncate(root / "0.bin", len(data) // 2)
    elif cut == "data_empty":
        os.truncate(root / "0.bin", 0)
    elif cut == "index_partial_entry":
        os.truncate(root / "0.idx", 8 * 2 + 5)
    elif cut == "index_empty":
        os.truncate(root / "0.idx", 0)
    else:
        os.remove(root / "0.idx")
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.parsed_event(2)
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.raw_event(2)


def test_growth_during_iteration_is_seen(make_acq):
    events = make_events(9, seed=1)
    root = make_acq(PARAMS, events[:3])
    acq = vintrel.Acquisition(root)
    it = iter(acq)
    got = [next(it)]
    acqwriter.append_events(root, 0, events[3:5])     # chunk 0 grows
    acqwriter.write_chunk(root, 1, events[5:7])        # a new chunk appears
    got += list(it)
    assert len(got) == 7
    # The iterator ended at the first missing event; it resumes there.
    acqwriter.append_events(root, 1, events[7:9])
    got += list(it)
    fresh = vintrel.Acquisition(root)
    assert got == [fresh.parsed_event(i) for i in range(9)]
    assert len(acq) == 9 and acq.chunk_count == 2


def test_writer_thread_while_iterating(make_acq):
    events = make_events(60, seed=2)
    root = make_acq(PARAMS, events[:1])
    acq = vintrel.Acquisition(root)
    done = threading.Event()

    def writer():
        # 29 more events in chunk 0, then 30 in chunks of 10.
        for k in range(1, 30):
            acqwriter.append_events(root, 0, [events[k]])
        for n, start in enumerate(range(30, 60, 10), start=1):
            acqwriter.write_chunk(root, n, events[start:start + 10])
        done.set()

    thread = threading.Thread(target=writer)
    it = iter(acq)
    got = []
    thread.start()
    deadline = time.monotonic() + 30
    while len(got) < 60 and time.monotonic() < deadline:
        got += list(it)
        if done.is_set():
            got += list(it)
            break
    thread.join(timeout=30)
    got += list(it)
    assert len(got) == 60
    fresh = vintrel.Acquisition(root)
    assert got == [fresh.parsed_event(i) for i in range(60)]


def test_growth_during_export_is_seen_by_the_next_export(make_acq, tmp_path):
    events = make_events(600, seed=3)
    root = make_acq(PARAMS, events[:300], name="live")
    acq = vintrel.Acquisition(root)
    indices = list(range(600)) * 4  # several files, so the export takes a while
    first, second, reference = (tmp_path / d for d in ("first", "second", "reference"))
    for d in (first, second, reference):
        d.mkdir()

    writer = threading.Thread(target=lambda: acqwriter.write_chunk(root, 1, events[300:]))
    exporter = threading.Thread(target=vintrel.export_csv, args=(acq, indices, first, False))
    exporter.start()
    writer.start()
    writer.join(timeout=60)
    exporter.join(timeout=120)
    assert not exporter.is_alive()
    assert sorted(os.listdir(first)) == [f"live (chunk {k}).csv" for k in range(3)]

    vintrel.export_csv(acq, indices, second, False)
    ref_root = tmp_path / "ref" / "live"
    acqwriter.write_acquisition(ref_root, PARAMS, events, chunk_size=300)
    vintrel.export_csv(vintrel.Acquisition(ref_root), indices, reference, False)
    for k in range(3):
        name = f"live (chunk {k}).csv"
        assert (second / name).read_bytes() == (reference / name).read_bytes()
