"""vintrel.dask on two local worker processes: arrays and exports equal to
single-process ones, also with a worker killed mid-export; an acquisition
that vanishes before computing; exports computed again, staging directories
of other attempts and of users, internal failures inside tasks, provenance
fields, a directory name that is not UTF-8."""

import os
import pathlib
import random
import shutil
import signal
import subprocess
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")
ak = pytest.importorskip("awkward")
pytest.importorskip("dask_awkward")

import acqwriter  # noqa: E402
import vintrel  # noqa: E402
import vintrel.dask as vd  # noqa: E402
from vintrel import _staging  # noqa: E402
from encoders import merrowv3  # noqa: E402

PARAMS = merrowv3.sample_params(channels=2, windows=9, samples=4)
TIMEOUT = 60
OUT_DIRS = ["run-0", "run-1", "other"]  # "empty" gets no file, so no directory


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    """Two acquisitions named "run", one "other", one empty; a truncated
    event in each, and pedestals missing for label 8 of channel 1 in one."""
    root, rng = tmp_path_factory.mktemp("campaign"), random.Random(7)
    table = [[[rng.uniform(0, 200)] * 4] * 9] * 2
    paths = []
    for sub, count, pedestals in ("a/run", 2300, [table[0], table[1][:8]]), ("b/run", 1000, table), \
                                 ("other", 1500, None), ("empty", 0, None):
        events = [merrowv3.sample_event(PARAMS, rng, window_count=2) for _ in range(count)]
        events[5:6] = [e[:-3] for e in events[5:6]]
        side = {"pedestals_calibration": {"data": pedestals}} if pedestals else None
        paths.append(str(acqwriter.write_acquisition(root / sub, PARAMS, events, chunk_size=700, side_files=side)))
    return paths


def whole(paths, pedestals):
    return ak.concatenate([vintrel.Acquisition(p).arrays(pedestals_correction=pedestals).to_awkward() for p in paths])


def check_export(result, paths, out, tmp_path, pedestals):
    """Each acquisition's files are those of its whole-list export, listed in order with the events left out."""
    expected = []
    for path, d in zip(paths, OUT_DIRS):
        acq, ref = vintrel.Acquisition(path), tmp_path / "ref" / d
        ref.mkdir(parents=True)
        vintrel.export_csv(acq, range(len(acq)), ref, pedestals)
        assert sorted(os.listdir(out / d)) == sorted(os.listdir(ref))  # nothing else, no temporary file left
        for k, start in enumerate(range(0, len(acq), 1000)):
            name = f"{acq.name} (chunk {k}).csv"
            errors = acq.arrays(range(start, min(start + 1000, len(acq))), pedestals_correction=pedestals).errors
            expected.append((str(out / d / name), (ref / name).read_bytes(), tuple(i for i, _ in errors)))
    assert [(f.path, open(f.path, "rb").read(), f.left_out) for f in result] == expected
    assert sorted(os.listdir(out)) == sorted(OUT_DIRS) and sum(len(f.left_out) for f in result) >= 3


# ---- two worker processes ----

@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None, death_timeout=TIMEOUT) as cluster, \
            distributed.Client(cluster, timeout=TIMEOUT) as client:
        yield client


def compute(client, collection):
    return client.compute(collection).result(timeout=TIMEOUT)


# One acquisition has no pedestal file: its arrays are read uncorrected, with a warning.
@pytest.mark.filterwarnings(r"ignore:arrays\(\). no pedestals_calibration file:RuntimeWarning")
# The export runs on the synchronous scheduler beside the cluster's client, on purpose.
@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler:UserWarning")
@pytest.mark.parametrize("pedestals", [False, True])
def test_arrays_and_export_equal_single_process_ones(client, campaign, tmp_path, pedestals):
    data = {p: p.read_bytes() for p in map(pathlib.Path, campaign) for p in p.glob("*.bin")}
    for p in data:
        p.write_bytes(b"")  # building reads no event: it succeeds, computing sees the data as it is then
    array = vd.arrays(campaign, step_size=600, pedestals_correction=pedestals)
    for p, content in data.items():
        p.write_bytes(content)
    assert array.npartitions == 4 + 2 + 3 and not array.known_divisions
    assert ak.array_equal(compute(client, array), whole(campaign, pedestals))
    acqs, out = [vintrel.Acquisition(campaign[0]), *campaign[1:]], tmp_path / "out"
    check_export(vd.export_csv(acqs, out, pedestals).compute(scheduler="sync"), campaign, out, tmp_path, pedestals)


def test_no_event_and_clashing_directories(campaign, tmp_path):
    assert vd.arrays(campaign[-1]).divisions == (0, 0) and len(vd.arrays(campaign[-1]).compute()) == 0
    clash = [acqwriter.write_acquisition(tmp_path / sub, PARAMS) for sub in ("a/run", "b/run", "run-1")]
    with pytest.raises(ValueError, match="share the output directory"):
        vd.export_csv(clash, tmp_path / "out")


class KillOnce(distributed.WorkerPlugin):
    """Kills the worker of the first export task to start, once a file is being written (2 s at the latest)."""

    def __init__(self, marker, out):
        self.marker, self.out = marker, out

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and "_write_file" in str(key) and not os.path.exists(self.marker):
            open(self.marker, "x").close()
            threading.Thread(target=self.kill, daemon=True).start()

    def kill(self):
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and not any(d.endswith(".tmp") for _, ds, _ in os.walk(self.out) for d in ds):
            time.sleep(0.0005)
        os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_mid_export(client, campaign, tmp_path):
    out, marker = tmp_path / "out", tmp_path / "killed"
    client.register_plugin(KillOnce(str(marker), str(out)))
    check_export(compute(client, vd.export_csv(campaign, out)), campaign, out, tmp_path, False)
    assert marker.exists()


def test_a_vanished_acquisition_fails_its_partitions(client, campaign, tmp_path):
    path = shutil.copytree(campaign[1], tmp_path / "gone")
    jobs = [vd.arrays([campaign[0], path]), vd.export_csv(path, tmp_path / "out")]
    shutil.rmtree(path)
    for job in jobs:
        with pytest.raises(FileNotFoundError, match="no longer an acquisition") as raised:
            compute(client, job)
        assert raised.value.filename == str(path)


def test_an_export_computed_again_writes_again(client, campaign, tmp_path):
    out = tmp_path / "out"
    held = client.persist(vd.export_csv(campaign[2], out))
    first = compute(client, held)
    os.remove(first[0].path)
    again = compute(client, vd.export_csv(campaign[2], out))
    assert [f.path for f in again] == [f.path for f in first] and os.path.exists(first[0].path)
    assert vd.export_csv(campaign[2], out).key != vd.export_csv(campaign[2], out).key


@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler:UserWarning")
def test_only_abandoned_staging_directories_are_removed(campaign, tmp_path):
    """A user's directory of a like name and a running attempt's staging stay;
    one whose attempt has ended (its lock free) goes, and so does one that a
    killed process of this host was still making."""
    target = tmp_path / "out" / "other"
    user = target / ".other (chunk 0).my notes.tmp"
    user.mkdir(parents=True)
    (user / "keep.txt").write_text("mine")
    ended = target / f".other (chunk 0).vintrel-1-{'0' * 16}.tmp"
    ended.mkdir()
    (ended / _staging.LOCK).touch()
    (ended / "other (chunk 0).csv").touch()
    # export_csv's temporaries: ".<final name>.<machine>.<pid>.<n>.tmp", and without the machine before it had one
    (ended / ".other (chunk 0).csv.0123456789abcdef.4242.0.tmp").touch()
    (ended / ".other (chunk 0).csv.4242.1.tmp").touch()
    odd = target / f".other (chunk 1).vintrel-2-{'0' * 16}.tmp"  # holds a file no attempt makes
    odd.mkdir()
    (odd / _staging.LOCK).touch()
    (odd / "notes.txt").touch()
    # Directories still being made when their process was killed: only this host's dead ones go.
    dead = subprocess.Popen(["true"])
    dead.wait()
    here, elsewhere = _staging.host_tag(), "f" * 16
    killed = target / f".other (chunk 0).vintrel-{dead.pid}-{'1' * 16}.{here}.new"
    (killed / _staging.LOCK).parent.mkdir()
    (killed / _staging.LOCK).touch()
    making = [target / f".other (chunk 0).vintrel-{pid}-{'2' * 16}.{tag}.new"
              for pid, tag in ((os.getpid(), here), (dead.pid, elsewhere))]
    for path in making:
        path.mkdir()
    with _staging.Staging(str(target), "other", 1) as running:
        files = vd.export_csv(campaign[2], tmp_path / "out").compute(scheduler="sync")
        assert os.path.isdir(running.path)
    assert (user / "keep.txt").read_text() == "mine" and not ended.exists() and (odd / "notes.txt").exists()
    assert not os.path.exists(running.path) and not killed.exists()
    assert sorted(os.listdir(target)) == sorted([user.name, odd.name, *(p.name for p in making),
                                                 "other (chunk 0).csv", "other (chunk 1).csv"])
    assert [f.path for f in files] == [str(target / n) for n in ("other (chunk 0).csv", "other (chunk 1).csv")]


@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler:UserWarning")
def test_a_name_near_the_length_limit_is_staged(tmp_path):
    name = "r" * 240  # its files' names take 254 of the 255 bytes a name may have
    path = acqwriter.write_acquisition(tmp_path / name, PARAMS, [merrowv3.sample_event(PARAMS, random.Random(1))])
    files = vd.export_csv(path, tmp_path / "out").compute(scheduler="sync")
    assert [f.path for f in files] == [str(tmp_path / "out" / name / f"{name} (chunk 0).csv")]
    assert os.listdir(tmp_path / "out" / name) == [f"{name} (chunk 0).csv"]


@pytest.mark.parametrize("task", [
    lambda path, tmp: vd._write_file(path, range(3), 0, str(tmp), False),
    lambda path, tmp: vd._ReadRange(False)((path, 0, 3)),
])
def test_internal_failures_leave_tasks_as_exceptions(campaign, tmp_path, monkeypatch, task):
    def panic(path):
        raise vintrel.PanicException("broken expectation")

    monkeypatch.setattr(vd, "_reopen", panic)
    with pytest.raises(RuntimeError, match="internal failure: PanicException: broken expectation") as raised:
        task(campaign[2], tmp_path)
    assert isinstance(raised.value.__cause__, vintrel.PanicException)


def test_provenance_fields(client, campaign):
    plain = compute(client, vd.arrays(campaign, step_size=800))
    traced = vd.arrays(campaign, step_size=800, index=True)
    assert traced._meta.fields[:2] == ["index", "acquisition"]
    result = compute(client, traced)
    assert ak.array_equal(result[plain.fields], plain)
    expected = [(i, vintrel.Acquisition(p).name) for p in campaign for i in vintrel.Acquisition(p).arrays().index]
    assert list(zip(result["index"].to_list(), result["acquisition"].to_list())) == expected


def test_channel_selection(client, campaign):
    result = compute(client, vd.arrays(campaign, step_size=800, channels=[1, 0]))
    expected = ak.concatenate([vintrel.Acquisition(p).arrays(channels=[1, 0]).to_awkward() for p in campaign])
    assert ak.array_equal(result, expected)
    assert ak.all(ak.num(result["data"], axis=1) == 2)


def test_a_directory_name_that_is_not_utf8(client, tmp_path):
    root = tmp_path / os.fsdecode(b"run_\xe9")
    path = acqwriter.write_acquisition(root, PARAMS, [merrowv3.sample_event(PARAMS, random.Random(i)) for i in range(3)])
    acq = vintrel.Acquisition(path)
    files = compute(client, vd.export_csv(acq, tmp_path / "out"))
    assert [os.path.basename(f.path) for f in files] == [os.fsdecode(b"run_\xe9 (chunk 0).csv")]
    result = compute(client, vd.arrays(path, index=True))
    assert result["acquisition"].to_list() == [acq.name] * 3 == [os.fsdecode(b"run_\xe9")] * 3
