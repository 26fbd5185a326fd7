"""A signal while a long export or block check runs: the call stops early, as
a failure would stop it, and raises what the signal handler raised. Each
case runs in a subprocess that signals itself."""

import json
import os
import random
import re
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import vintrel
from encoders import merrowv3

TOOLS = Path(__file__).resolve().parent.parent / "tools"
TIMEOUT = 240
PARAMS = merrowv3.sample_params(channels=2, windows=4, samples=16)
FILES = 60

# Exports FILES files of 1000 events each; a thread sends the signal once the
# first file is in place. Prints what the call raised and the files left.
EXPORT = textwrap.dedent("""
    import json, os, signal, sys, threading, time
    sys.path.insert(0, {tools!r})
    import vintrel
    root, out, handler = sys.argv[1], sys.argv[2], sys.argv[3]
    class Stop(Exception):
        pass
    def raising(signum, frame):
        raise Stop("stop")
    def quiet(signum, frame):
        pass
    if handler != "default":
        signal.signal(signal.SIGINT, raising if handler == "raising" else quiet)
    def send_when_the_first_file_is_in_place():
        while "run (chunk 0).csv" not in os.listdir(out):
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=send_when_the_first_file_is_in_place, daemon=True).start()
    try:
        vintrel.export_csv(vintrel.Acquisition(root), list(range(10)) * ({files} * 100), out, False)
        raised = None
    except BaseException as e:
        raised = type(e).__name__
    print(json.dumps([raised, sorted(os.listdir(out))]))
""").format(tools=str(TOOLS), files=FILES)

HANDLERS = {  # SIGINT handler -> what export_csv raises, whether it stops early
    "default": ("KeyboardInterrupt", True),
    "raising": ("Stop", True),
    "quiet": (None, False),
}


@pytest.mark.parametrize("handler", HANDLERS)
def test_a_signal_stops_an_export_between_events(make_acq, tmp_path, handler):
    root = make_acq(PARAMS, [merrowv3.sample_event(PARAMS, random.Random(k)) for k in range(10)], name="run")
    out = tmp_path / "out"
    out.mkdir()
    proc = subprocess.run([sys.executable, "-c", EXPORT, str(root), str(out), handler],
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    raised, names = json.loads(proc.stdout)
    expected, early = HANDLERS[handler]
    assert raised == expected
    # Only complete files under their final names, a leading run of them.
    assert sorted(names) == sorted(f"run (chunk {k}).csv" for k in range(len(names)))
    assert (len(names) < FILES) is early
    reference = (out / "run (chunk 0).csv").read_bytes()
    assert all((out / name).read_bytes() == reference for name in names)


# Converts a long list for ecc_check; a timer signal comes while it is read
# (its first item starts the timer). Prints what the call raised.
ECC = textwrap.dedent("""
    import signal, sys
    import vintrel
    function = getattr(vintrel, sys.argv[1])
    class StartsTimer:
        def __index__(self):
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            return 0
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, interrupt)
    block = [StartsTimer()] + [0] * 10_000_000
    try:
        function(block)
        print(None)
    except BaseException as e:
        print(type(e).__name__)
""")


@pytest.mark.parametrize("function", ["ecc_check", "ecc_correct"])
def test_a_signal_stops_the_reading_of_a_long_block(function):
    proc = subprocess.run([sys.executable, "-c", ECC, function], capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "KeyboardInterrupt"


# Exports for long enough to be killed while its temporary files exist.
KILLED = textwrap.dedent("""
    import sys
    sys.path.insert(0, {tools!r})
    import vintrel
    vintrel.export_csv(vintrel.Acquisition(sys.argv[1]), list(range(10)) * 200_000, sys.argv[2], False)
""").format(tools=str(TOOLS))


def temporaries_of_a_killed_export(root, out):
    """Runs an export and kills it (SIGKILL) once its temporary files exist; their names."""
    child = subprocess.Popen([sys.executable, "-c", KILLED, str(root), str(out)])
    try:
        while not any(name.endswith(".tmp") for name in os.listdir(out)):
            assert child.poll() is None, "the export ended before it was killed"
            time.sleep(0.001)
    finally:
        child.kill()
        child.wait(TIMEOUT)
    return [name for name in os.listdir(out) if name.endswith(".tmp")]


def with_field(name, field, value):
    """A temporary name ".<final>.<host>.<pid>.<n>.tmp" with one field replaced."""
    final, host, pid, n = re.fullmatch(r"\.(.*)\.([0-9a-f]{16})\.(\d+)\.(\d+)\.tmp", name).groups()
    parts = {"final": final, "host": host, "pid": pid, "n": n, **{field: value}}
    return ".{final}.{host}.{pid}.{n}.tmp".format(**parts)


# What else lies in the export directory: each must survive the next export.
LOOKALIKES = {
    "a live process's temporary": lambda name: with_field(name, "pid", str(os.getpid())),
    "another host's temporary": lambda name: with_field(name, "host", "0123456789abcdef"),
    "another acquisition's temporary": lambda name: with_field(name, "final", "other (chunk 0).csv"),
    "a user's file": lambda name: ".run (chunk 0).csv.my notes.tmp",
    "a user's file with a number": lambda name: with_field(name, "final", "run (chunk 0).csv.notes"),
}


def test_an_export_removes_the_temporaries_a_killed_export_left(make_acq, tmp_path):
    root = make_acq(PARAMS, [merrowv3.sample_event(PARAMS, random.Random(k)) for k in range(10)], name="run")
    out = tmp_path / "out"
    out.mkdir()
    stale = temporaries_of_a_killed_export(root, out)
    assert stale
    kept = {kind: make(stale[0]) for kind, make in LOOKALIKES.items()}
    for name in kept.values():
        (out / name).write_text("keep")
    directory = with_field(stale[0], "n", "999999")  # a directory of a stale name
    (out / directory).mkdir()
    (out / directory / "keep.txt").write_text("keep")
    link = with_field(stale[0], "n", "999998")
    (out / link).symlink_to(out / kept["a user's file"])

    vintrel.export_csv(vintrel.Acquisition(root), range(10), out, False)
    left = set(os.listdir(out))
    assert not left & set(stale)
    assert {name for name in left if not re.fullmatch(r"run \(chunk \d+\)\.csv", name)} == {
        *kept.values(), directory, link}
    assert all((out / name).read_text() == "keep" for name in kept.values())
