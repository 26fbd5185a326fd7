"""arrays() on the worker pool: the same result, errors and their order
included, for any pool size (uniform events, whose runs join without a copy,
and mixed ones, which are copied); fork() from another thread while it
reads; Ctrl-C during a long read. Each runs in a child process with a
timeout, so that a hang fails the test."""

import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import acqwriter
from encoders import encoder_for, merrowv3

TIMEOUT = 180

# Digest of every buffer of arrays(indices, channels=...), and its errors.
DIGEST = """
import hashlib, json, sys
import numpy as np
import vintrel

def digest(arrays):
    h = hashlib.sha256()
    names = ["index", "channel_offsets", "data", "data_offsets", "time", "time_offsets", "window_labels",
             "window_label_offsets", "timing", "timing_offsets", "ecc_error_offsets"]
    fields = [getattr(arrays, n) for n in names] + list(arrays.ecc_errors or ())
    for a in fields:
        h.update(b"-" if a is None else np.ascontiguousarray(a).tobytes())
    return h.hexdigest(), [(i, type(e).__name__, str(e)) for i, e in arrays.errors]

out = []
for root, indices, channels in json.loads(sys.argv[1]):
    out.append(digest(vintrel.Acquisition(root).arrays(indices, channels=channels)))
print(json.dumps(out))
"""


def run_child(script, *args, env=None, timeout=TIMEOUT):
    result = subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True, text=True,
                            timeout=timeout, env={**os.environ, **(env or {})})
    assert result.returncode == 0, result.stderr
    return result.stdout


def repeated_events(model, count, shaped=False, seed=0):
    """`count` events cycling through 40 distinct ones (of 1 to 3 windows when `shaped`)."""
    enc = encoder_for(model)
    params = enc.sample_params(model=model)
    rng = random.Random(seed)
    kwargs = [{"window_count": 1 + k % 3} if shaped else {} for k in range(40)]
    distinct = [enc.sample_event(params, rng, **kw) for kw in kwargs]
    return params, [distinct[i % 40] for i in range(count)]


@pytest.fixture(scope="module")
def requests(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("pool")
    made = []
    # Uniform events: every run's columns are placed to join without a copy.
    params, events = repeated_events("merrowv3", 1500)
    root = acqwriter.write_acquisition(tmp / "uniform", params, events, chunk_size=400)
    made += [(str(root), list(range(1500)), None), (str(root), list(range(1500)), [3, 1])]
    # Uniform events with a stretch of missing ones: later runs start elsewhere than predicted.
    made.append((str(root), list(range(700)) + [10 ** 6] * 400 + list(range(700, 1500)), [0]))
    # Mixed shapes, broken events and missing indices: runs are copied, errors come from every run.
    params, events = repeated_events("merrowv3", 1200, shaped=True)
    for k in range(0, 1200, 97):
        events[k] = events[k][:-2]
    root = acqwriter.write_acquisition(tmp / "mixed", params, events, chunk_size=500)
    indices = list(range(1200)) + [5000, 3, 2 ** 63] + list(range(1199, 600, -1))
    made += [(str(root), indices, None), (str(root), indices, [2]), (str(root), indices, [0, 9])]
    # The extra columns of two boards.
    for model in ("pikorv1_evalr2", "ostra96"):
        params, events = repeated_events(model, 900 if model != "ostra96" else 800)
        root = acqwriter.write_acquisition(tmp / model, params, events)
        made.append((str(root), list(range(len(events))), None))
    return made


def test_every_pool_size_gives_the_same_result(requests):
    outcomes = {n: json.loads(run_child(DIGEST, json.dumps(requests), env={"RAYON_NUM_THREADS": str(n)}))
                for n in (1, 2, 3)}
    assert outcomes[1] == outcomes[2] == outcomes[3]
    errors = [e for _, e in outcomes[1]]
    assert not errors[0] and not errors[1] and len(errors[2]) == 400 and len(errors[3]) > 12
    # Channel 9 of 4: every event is an error, of the run that read it, in the order asked.
    assert [i for i, _, _ in errors[5]] == requests[5][1]
    assert {kind for _, kind, _ in errors[5]} == {"ParsingError", "IndexError", "TypeError"}


FORK_WHILE_READING = """
import os, sys, threading, time, warnings
import vintrel
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads alive is the point
acq = vintrel.Acquisition(sys.argv[1])
# Imports done before the thread starts: a fork while another thread imports
# leaves the child waiting on that module's import lock, in Python itself.
acq.arrays(range(1))
stop = threading.Event()
reads = 0
def reader():
    global reads
    while not stop.is_set():
        acq.arrays(channels=[0, 2])
        reads += 1
thread = threading.Thread(target=reader)
thread.start()
for k in range(int(sys.argv[2])):
    time.sleep(0.003 * (k % 7))
    pid = os.fork()
    if pid == 0:
        os._exit(0 if len(acq.arrays(range(50))) == 50 else 3)
    deadline = time.monotonic() + 30
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, 9)
        print("child hung")
        break
    if os.waitstatus_to_exitcode(done[1]) != 0:
        print("child failed")
        break
stop.set()
thread.join()
print("ok", reads > 0)
"""


def test_fork_while_another_thread_reads_never_hangs_the_child(tmp_path):
    params, events = repeated_events("merrowv3", 2000)
    root = acqwriter.write_acquisition(tmp_path / "acq", params, events)
    assert run_child(FORK_WHILE_READING, root, 40, env={"RAYON_NUM_THREADS": "2"}).split() == ["ok", "True"]


INTERRUPTED = """
import os, signal, sys, threading, time
import numpy as np
import vintrel
acq = vintrel.Acquisition(sys.argv[1])
# Far more than a test run could read: only the signal can end the call.
indices = np.tile(np.arange(len(acq)), 400_000 // len(acq))
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    acq.arrays(indices, channels=[])
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
print(len(acq.arrays(range(len(acq)))))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_ctrl_c_stops_a_long_read(tmp_path, threads):
    params = merrowv3.sample_params(samples=1024)
    rng = random.Random(0)
    events = [merrowv3.sample_event(params, rng) for _ in range(4)]
    root = acqwriter.write_acquisition(tmp_path / "acq", params, events)
    assert run_child(INTERRUPTED, root, env={"RAYON_NUM_THREADS": threads}).split() == ["interrupted", "4"]


def test_a_handler_that_does_not_raise_lets_the_read_finish(tmp_path):
    script = INTERRUPTED.replace("400_000", "8_000").replace("0.5,", "0.01,").replace(
        "import vintrel", "import vintrel\nsignal.signal(signal.SIGINT, lambda *a: None)")
    params = merrowv3.sample_params(samples=1024)
    rng = random.Random(0)
    root = acqwriter.write_acquisition(tmp_path / "acq", params, [merrowv3.sample_event(params, rng) for _ in range(4)])
    assert run_child(script, root).split() == ["finished", "4"]
