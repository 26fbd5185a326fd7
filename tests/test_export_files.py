"""How export files come into place: the files of one call are written in
parallel yet look as if written one after another (same bytes, same
"Bad channel" lines, the same files after a failure in the middle), a final
name only ever shows a complete file, failures carry the system's reason,
and a fork from another thread during an export gives a working child.
Pool sizes are set per process, so those cases run in subprocesses."""

import errno
import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import vintrel
from encoders import merrowv3

TOOLS = Path(__file__).resolve().parent.parent / "tools"
TIMEOUT = 120
SMALL = merrowv3.sample_params(channels=1, windows=64, samples=1)
NAMES = [f"run7 (chunk {k}).csv" for k in range(4)]

# Event 0..9: one row each; 10: 63 rows; 11: a label read twice ("Bad channel").
EVENTS = [merrowv3.encode_windows([[(0, 1, [v])]]) for v in range(10)] + [
    merrowv3.encode_windows([[(0, label, [label])] for label in range(63)]),
    merrowv3.encode_windows([[(0, 3, [1])], [(0, 3, [2])]]),
]
BIG, BAD = 10, 11

# Runs one export; writes what it raised to the result file.
SCRIPT = textwrap.dedent("""
    import json, os, resource, signal, sys
    sys.path.insert(0, {tools!r})
    import vintrel
    args = json.loads(sys.argv[1])
    if args.get("fsize"):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (args["fsize"], resource.RLIM_INFINITY))
    raised = None
    try:
        vintrel.export_csv(vintrel.Acquisition(args["root"]), args["indices"], args["out"], True)
    except Exception as e:
        c = e.__cause__
        raised = [str(e), c and [type(c).__name__, c.errno, c.strerror, c.filename]]
    # Lifted for the rest: a coverage build writes its counts at exit.
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    sizes = {{name: os.path.getsize(os.path.join(args["out"], name)) for name in os.listdir(args["out"])}}
    with open(args["result"], "w") as f:
        json.dump([raised, sizes], f)
""").format(tools=str(TOOLS))


@pytest.fixture
def acq_root(make_acq):
    table = [[[0.5]] * 64]
    return make_acq(SMALL, EVENTS, name="run7", side_files={"pedestals_calibration": {"data": table}})


def listing(out: Path):
    return {p.name: "<dir>" if p.is_dir() else p.read_bytes() for p in out.iterdir()}


def export_in_subprocess(root, out, indices, workers, fsize=None, wrapper=()):
    result = out.parent / f"result-{out.name}.json"
    args = json.dumps({"root": str(root), "out": str(out), "indices": indices, "fsize": fsize,
                       "result": str(result)})
    env = {**os.environ, "RAYON_NUM_THREADS": str(workers)}
    done = subprocess.run([*wrapper, sys.executable, "-c", SCRIPT, args], env=env, capture_output=True,
                          timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr.decode()
    raised, sizes = json.loads(result.read_text())
    return raised, sizes, done.stdout.decode()


def test_files_and_warnings_are_the_same_for_every_pool_size(acq_root, tmp_path):
    # Seven files of different sizes, Bad-channel lines in several of them.
    indices = [(i * 7) % 10 for i in range(6500)]
    for at in (5, 999, 1000, 2500, 2501, 4200, 6499):
        indices[at] = BAD
    indices[3000:3200] = [BIG] * 200
    seen = []
    for workers in (1, 2, 3):
        out = tmp_path / f"out{workers}"
        out.mkdir()
        raised, _, stdout = export_in_subprocess(acq_root, out, indices, workers)
        assert raised is None
        seen.append((listing(out), stdout))
    files, stdout = seen[0]
    assert sorted(files) == [f"run7 (chunk {k}).csv" for k in range(7)]
    assert stdout.splitlines() == [f"Bad channel 0 at Event {at % 1000}" for at in (5, 999, 0, 500, 501, 200, 499)]
    assert all(s == seen[0] for s in seen[1:])


def expected_chunk0(tmp_path, acq_root):
    out = tmp_path / "reference"
    out.mkdir()
    vintrel.export_csv(vintrel.Acquisition(acq_root), [0] * 1000, out, True)
    return (out / NAMES[0]).read_bytes()


@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize("how", ["final name is a directory", "file size limit"])
def test_failure_in_the_middle(acq_root, tmp_path, workers, how):
    # Chunks 0 and 3 are small; 1 and 2 hold 63-row events. Chunk 1 fails.
    indices = [0] * 1000 + [BIG] * 1000 + [BIG] * 1000 + [0] * 500
    out = tmp_path / "out"
    out.mkdir()
    (out / NAMES[2]).write_bytes(b"old 2\n")
    if how == "final name is a directory":
        (out / NAMES[1]).mkdir()
        raised, _, _ = export_in_subprocess(acq_root, out, indices, workers)
        assert raised[0] == "Could not export: unknown"
        assert raised[1][:2] == ["IsADirectoryError", errno.EISDIR]
        old1 = "<dir>"
    else:
        (out / NAMES[1]).write_bytes(b"old 1\n")
        raised, _, _ = export_in_subprocess(acq_root, out, indices, workers, fsize=200_000)
        assert raised[0] == "Could not export: error occurred while exporting as csv"
        assert raised[1][:3] == ["OSError", errno.EFBIG, "File too large"]
        old1 = b"old 1\n"
    # The error of the first failing file, though file 2 may fail as well;
    # files before it complete, later ones untouched, no temporary file left.
    assert raised[1][3] == str(out / NAMES[1])
    assert listing(out) == {NAMES[0]: expected_chunk0(tmp_path, acq_root), NAMES[1]: old1, NAMES[2]: b"old 2\n"}


def test_disk_full(acq_root, tmp_path):
    if shutil.which("unshare") is None or subprocess.run(["unshare", "-m", "true"]).returncode != 0:
        pytest.skip("needs a private mount namespace (unshare -m)")
    out = tmp_path / "small-fs"
    out.mkdir()
    mount = ["unshare", "-m", "sh", "-c", f"mount -t tmpfs -o size=64k none '{out}' && exec \"$@\"", "sh"]
    raised, sizes, _ = export_in_subprocess(acq_root, out, [0] * 1000 + [BIG] * 1000 + [0] * 10, 2, wrapper=mount)
    assert raised[0] == "Could not export: error occurred while exporting as csv"
    assert raised[1][:3] == ["OSError", errno.ENOSPC, "No space left on device"]
    # File 1 can take the space file 0 still needed while both are written;
    # the export then stops at file 0. Either way what is there comes first
    # and is whole, and the error names the first file missing.
    assert sizes in ({}, {NAMES[0]: len(expected_chunk0(tmp_path, acq_root))})
    assert raised[1][3] == str(out / NAMES[len(sizes)])


@pytest.mark.parametrize("setup, message, cause", [
    ("missing", "Could not export: invalid path", FileNotFoundError),
    ("regular file", "Could not export: unknown", NotADirectoryError),
])
def test_failures_carry_the_system_reason(acq_root, tmp_path, setup, message, cause):
    out = tmp_path / "out"
    if setup == "regular file":
        out.write_text("x")
    with pytest.raises(Exception) as info:
        vintrel.export_csv(vintrel.Acquisition(acq_root), [0], out, False)
    assert str(info.value) == message
    assert type(info.value.__cause__) is cause
    assert info.value.__cause__.filename == str(out / NAMES[0])
    assert info.value.__cause__.strerror == os.strerror(info.value.__cause__.errno)
    assert setup == "missing" or out.read_text() == "x"


def test_fork_while_an_export_runs(acq_root, tmp_path):
    acq = vintrel.Acquisition(acq_root)
    indices = [i % 10 for i in range(20_000)] + [BIG] * 2000
    reference = tmp_path / "reference"
    reference.mkdir()
    vintrel.export_csv(acq, indices, reference, True)
    expected = listing(reference)
    stop, started, failures = threading.Event(), threading.Event(), []

    def export_repeatedly():
        k = 0
        while not stop.is_set():
            out = tmp_path / f"parent{k}"
            out.mkdir()
            started.set()
            vintrel.export_csv(acq, indices, out, True)
            if listing(out) != expected:
                failures.append(k)
            shutil.rmtree(out)
            k += 1

    thread = threading.Thread(target=export_repeatedly)
    thread.start()
    try:
        assert started.wait(TIMEOUT)
        # An allocator lock inherited from a busy worker hangs about one child
        # in sixty on the sanitizer build when forks are not held back.
        for k in range(30):
            child_out = tmp_path / f"child{k}"
            child_out.mkdir()
            pid = os.fork()
            if pid == 0:
                ok = False
                try:
                    vintrel.export_csv(vintrel.Acquisition(acq_root), indices[:2000], child_out, True)
                    ok = listing(child_out) == {n: expected[n] for n in NAMES[:2]}
                finally:
                    os._exit(0 if ok else 1)
            deadline = time.monotonic() + TIMEOUT
            while (waited := os.waitpid(pid, os.WNOHANG)) == (0, 0) and time.monotonic() < deadline:
                time.sleep(0.01)
            if waited == (0, 0):
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                pytest.fail("forked child hung")
            assert os.waitstatus_to_exitcode(waited[1]) == 0
    finally:
        stop.set()
        thread.join(TIMEOUT)
    assert not thread.is_alive() and not failures
