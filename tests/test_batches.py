"""Acquisition.iterate() and vintrel.iterate(): batches that together are
arrays() of the same range for every board, steps given as sizes, reading
one batch ahead and no further, and memory bounded by a few batches over a
run many times larger (in subprocesses: peak RSS, and an address-space
limit the whole run would not fit in)."""

import itertools
import os
import random
import subprocess
import sys
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

import vintrel
from acqwriter import append_events, write_acquisition, write_side_file
from child_process import SANITIZER
from encoders import MODULES, merrowv3
from test_arrays import sample_events
from vintrel import _batches

ARRAY_FIELDS = ("index", "channel_offsets", "data", "data_offsets", "time", "time_offsets", "window_labels",
                "window_label_offsets", "timing", "timing_offsets", "ecc_error_offsets", "pedestals_corrected")


def assert_same(got, expected):
    """Two EventArrays hold the same events, failures and numbers."""
    for name in ARRAY_FIELDS:
        a, b = getattr(got, name), getattr(expected, name)
        assert (a is None) == (b is None), name
        if a is not None:
            assert np.array_equal(a, b) and np.asarray(a).dtype == np.asarray(b).dtype, name
    assert (got.ecc_errors is None) == (expected.ecc_errors is None)
    if got.ecc_errors is not None:
        for mine, theirs in zip(got.ecc_errors, expected.ecc_errors):
            assert np.array_equal(mine, theirs) and mine.dtype == theirs.dtype
    assert [(i, type(e), str(e)) for i, e in got.errors] == [(i, type(e), str(e)) for i, e in expected.errors]


def merrow_acq(make_acq, count, **kwargs):
    params = merrowv3.sample_params()
    rng = random.Random(count)
    return vintrel.Acquisition(make_acq(params, [merrowv3.sample_event(params, rng) for _ in range(count)],
                                        **kwargs))


@pytest.mark.parametrize("model", sorted(MODULES))
@pytest.mark.parametrize("step, start, stop", [(3, 0, None), (1, 2, 5), (4, 1, 12), (100, 0, 3), (2, 9, 4)])
def test_batches_together_are_arrays_of_the_range(make_acq, model, step, start, stop):
    # Several shapes, a truncated and an empty event, and with stop 12 indices beyond the last.
    params, events = sample_events(model)
    acq = vintrel.Acquisition(make_acq(params, events, chunk_size=3))
    batches = list(acq.iterate(step, start=start, stop=stop))
    end = len(acq) if stop is None else stop
    assert [b.requested for b in batches] == [range(a, min(a + step, end)) for a in range(start, end, step)]
    assert all(isinstance(b, vintrel.EventBatch) and b.acquisition is acq for b in batches)
    for batch in batches:
        assert_same(batch, acq.arrays(batch.requested))
    if batches:
        assert_same(vintrel.EventArrays.concatenate(batches), acq.arrays(range(start, end)))


@pytest.mark.parametrize("text, size", [
    ("100 MB", 100_000_000), ("100MB", 100_000_000), ("1 GiB", 2**30), ("1.5 kib", 1536), ("640 kB", 640_000),
    ("  2 GB ", 2 * 10**9), ("7 b", 7), (".5 KiB", 512), ("1e3 B", 1000), ("3 TiB", 3 * 2**40), ("1 tb", 10**12),
    ("0.9999 KB", 999), ("10 mib", 10 * 2**20),
])
def test_size_strings(text, size):
    assert _batches.parse_size(text) == size


@pytest.mark.parametrize("step_size, error", [
    ("100", ValueError), ("100 XB", ValueError), ("MB", ValueError), ("-1 MB", ValueError), ("0 kB", ValueError),
    ("0.5 B", ValueError), ("1e400 GB", ValueError), ("1 M B", ValueError), ("", ValueError), (0, ValueError),
    (-3, ValueError), (True, TypeError), (1.5, TypeError), (None, TypeError), (b"1 MB", TypeError),
])
def test_bad_steps_are_refused_at_the_call(make_acq, step_size, error):
    acq = merrow_acq(make_acq, 2)
    with pytest.raises(error, match="step_size"):
        acq.iterate(step_size)
    with pytest.raises(error, match="step_size"):
        vintrel.iterate([acq], step_size)


@pytest.mark.parametrize("kwargs, error", [
    ({"start": -1}, ValueError), ({"stop": -2}, ValueError), ({"start": "0"}, TypeError), ({"stop": 2.0}, TypeError),
])
def test_bad_bounds_are_refused_at_the_call(make_acq, kwargs, error):
    with pytest.raises(error, match="start|stop"):
        merrow_acq(make_acq, 2).iterate(**kwargs)


@pytest.mark.parametrize("args, kwargs", [((1, 2), {}), ((), {"steps": 3})])
def test_wrong_arguments_name_the_method(make_acq, args, kwargs):
    with pytest.raises(TypeError, match=r"^Acquisition\.iterate\(\) "):
        merrow_acq(make_acq, 2).iterate(*args, **kwargs)


def test_a_size_step_holds_as_many_events_as_fit(make_acq):
    acq = merrow_acq(make_acq, 40)
    per_event = acq.arrays(range(10)).nbytes / 10
    for size, expected in [(f"{int(per_event * 7.5)} B", 7), ("1 B", 1), ("1 GB", 40)]:
        batches = list(acq.iterate(size, start=3))
        assert {len(b) for b in batches[:-1]} <= {expected} and sum(map(len, batches)) == 37
        assert all(b.nbytes <= max(_batches.parse_size(size), b.nbytes if expected == 1 else 0) for b in batches)


def test_a_size_step_measures_the_first_events_that_can_be_read(make_acq):
    params = merrowv3.sample_params()
    events = [b""] * 70 + [merrowv3.sample_event(params, random.Random(k)) for k in range(20)]
    acq = vintrel.Acquisition(make_acq(params, events))
    per_event = acq.arrays(range(70, 80)).nbytes / 10
    batches = list(acq.iterate(f"{int(per_event * 4)} B"))
    assert [len(b.requested) for b in batches] == [4] * 22 + [2]
    assert len(list(vintrel.Acquisition(make_acq(params, [b""] * 5)).iterate("1 kB"))) == 1


def test_stop_is_the_count_when_the_call_is_made(make_acq):
    acq = merrow_acq(make_acq, 5)
    batches = acq.iterate(2)
    params = merrowv3.sample_params()
    append_events(acq.path, 0, [merrowv3.sample_event(params, random.Random(9))] * 4)
    assert [b.requested for b in batches] == [range(0, 2), range(2, 4), range(4, 5)]
    assert len(acq) == 9


@pytest.mark.parametrize("side_file, warned", [
    (None, "no pedestals_calibration file"), (b"not gzip", "was not used"), ("table", None)])
def test_the_pedestal_file_is_judged_once_and_said_at_the_callers_line(make_acq, side_file, warned):
    acq = merrow_acq(make_acq, 7)
    table = {"data": [[[c + w / 4 + k for k in range(64)] for w in range(9)] for c in range(4)]}
    if side_file == "table":
        write_side_file(acq.path, "pedestals_calibration", table)
    elif side_file is not None:
        Path(acq.path, "pedestals_calibration").write_bytes(side_file)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        batches = list(acq.iterate(2, pedestals_correction=True))
        expected = acq.arrays(pedestals_correction=True)
    mine = [w for w in caught if w.lineno != caught[-1].lineno] if warned else caught
    assert [(w.category, w.filename, warned in str(w.message)) for w in mine] == \
        ([(RuntimeWarning, __file__, True)] if warned else [])
    assert_same(vintrel.EventArrays.concatenate(batches), expected)


class CountingAcquisition:
    """Stands in for an Acquisition: records which batches were asked for,
    and tells when batch `watch` is asked."""

    def __init__(self, real, watch):
        self.real, self.asked, self.watched = real, [], threading.Event()
        self.watch = watch

    def arrays(self, indices, **options):
        self.asked.append(indices)
        if len(self.asked) == self.watch + 1:
            self.watched.set()
        return self.real.arrays(indices, **options)


def test_the_next_batch_is_read_ahead_and_no_further(make_acq):
    real = merrow_acq(make_acq, 10)
    for k in range(4):
        fake = CountingAcquisition(real, k + 1)
        jobs = ((fake, range(a, a + 2), {"pedestals_correction": False}) for a in range(0, 10, 2))
        batches = _batches.prefetched(jobs)
        for _ in range(k + 1):
            batch = next(batches)
        # The caller holds batch k: batch k + 1 is read meanwhile, batch k + 2 not yet.
        assert fake.watched.wait(30)
        assert len(fake.asked) == k + 2 and batch.requested == range(2 * k, 2 * k + 2)
        batches.close()
    assert not [t for t in threading.enumerate() if t.name.startswith("vintrel-iterate")]


def test_a_failing_read_is_raised_at_its_batch(make_acq):
    acq = merrow_acq(make_acq, 6)
    batches = acq.iterate(2, pedestals_correction="yes")
    with pytest.raises(TypeError, match="pedestals_correction"):
        next(batches)


def test_many_acquisitions_one_after_another(make_acq):
    acqs = [merrow_acq(make_acq, n, chunk_size=2) for n in (5, 0, 3)]
    batches = list(vintrel.iterate([acqs[0], Path(acqs[1].path), acqs[2].path], 2))
    assert [(b.acquisition.path, b.requested) for b in batches] == [
        (acqs[0].path, range(0, 2)), (acqs[0].path, range(2, 4)), (acqs[0].path, range(4, 5)),
        (acqs[2].path, range(0, 2)), (acqs[2].path, range(2, 3))]
    for acq, group in itertools.groupby(batches, key=lambda b: b.acquisition.path):
        assert_same(vintrel.EventArrays.concatenate(list(group)), vintrel.Acquisition(acq).arrays())
    assert [b.requested for b in vintrel.iterate(acqs[2].path, "1 GB")] == [range(0, 3)]
    with pytest.raises(FileNotFoundError):
        vintrel.iterate([acqs[0], os.path.join(acqs[0].path, "nowhere")])


def test_concatenate_refuses_what_does_not_join(make_acq):
    ostra = vintrel.Acquisition(make_acq(*sample_events("ostra96")))
    merrow = merrow_acq(make_acq, 2)
    with pytest.raises(ValueError, match="different boards"):
        vintrel.EventArrays.concatenate([merrow.arrays(), ostra.arrays()])
    with pytest.raises(ValueError, match="nothing"):
        vintrel.EventArrays.concatenate([])
    corrected = merrow.arrays()
    corrected.pedestals_corrected = True
    with pytest.raises(ValueError, match="pedestal"):
        vintrel.EventArrays.concatenate([merrow.arrays(), corrected])


def accepts_channels(acq):
    return "channels" in (acq.arrays.__text_signature__ or "")


@pytest.mark.parametrize("channels", [[2, 0], [3], []])
def test_channels_are_passed_to_every_batch(make_acq, channels):
    acq = merrow_acq(make_acq, 7)
    if not accepts_channels(acq):
        pytest.skip("arrays() takes no channels argument in this build")
    batches = list(acq.iterate(3, channels=iter(channels)))
    assert_same(vintrel.EventArrays.concatenate(batches), acq.arrays(range(7), channels=channels))


# ---- memory: a run many batches long, in a fresh process ----

BATCH_EVENTS = 1000


@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    """12,000 merrowv3 events of 4 x 8 x 64 samples (about 144 MiB of
    arrays), 50 distinct events repeated, in chunks of 2000."""
    params = merrowv3.sample_params()
    distinct = [merrowv3.sample_event(params, random.Random(k)) for k in range(50)]
    return write_acquisition(tmp_path_factory.mktemp("long") / "run", params, distinct * 240, chunk_size=2000)


MEMORY_CHILD = r"""
import os, resource, sys
import numpy
import vintrel

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

acq = vintrel.Acquisition(sys.argv[1])
step, mode = int(sys.argv[2]), sys.argv[3]
for batch in acq.iterate(step, stop=2 * step):  # libraries, threads and their arenas in place
    batch.data.sum()
del batch
before = status("VmRSS")
try:  # the peak so far forgotten
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
if mode == "limit":
    headroom = int(sys.argv[4])
    limit = status("VmSize") + headroom
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
total = largest = events = 0
for batch in acq.iterate(step):
    batch.data.sum()  # every page of the batch touched
    total += batch.nbytes
    largest = max(largest, batch.nbytes)
    events += len(batch)
peak = status("VmHWM")  # of this process image (ru_maxrss may be the forking parent's, kept across exec)
whole = "-"
if mode == "limit":  # the limit bites: the whole run at once does not fit
    try:
        acq.arrays()
    except MemoryError:
        whole = "MemoryError"
print(events, total, largest, peak - before, whole)
"""


def memory_child(path, *args):
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    result = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(path), *map(str, args)], capture_output=True,
                            text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    *numbers, whole = result.stdout.split()
    return [int(v) for v in numbers] + [whole]


@pytest.mark.skipif(SANITIZER, reason="the sanitizer runtime's own memory is not the reader's")
def test_peak_memory_is_a_few_batches(long_run):
    events, total, largest, grown, _ = memory_child(long_run, BATCH_EVENTS, "rss")
    assert events == 12_000 and total >= 10 * largest
    assert grown <= 3 * largest + 50 * 2**20, (grown / 2**20, largest / 2**20)


@pytest.mark.skipif(SANITIZER, reason="the sanitizer runtime reserves address space of its own")
def test_a_run_four_times_the_address_space_left_is_read(long_run):
    # Batches of 250 events (3.6 MiB); the address space left free is less than a quarter of the run's arrays.
    headroom = 32 * 2**20
    events, total, largest, _, whole = memory_child(long_run, BATCH_EVENTS // 4, "limit", headroom)
    assert events == 12_000 and total >= 4 * headroom and whole == "MemoryError"
