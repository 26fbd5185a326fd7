"""The worker pool behind ecc_check: results independent of its size, its
size taken from RAYON_NUM_THREADS or the CPU affinity, threads that never
hold up the interpreter's exit, concurrent callers and forked children."""

import hashlib
import multiprocessing
import os
import random
import resource
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import vintrel
from child_process import SANITIZER
from encoders import ostra96 as enc

TOOLS = Path(__file__).resolve().parent.parent / "tools"

# Prints a digest of ecc_check over a corrupted full block, and the number of
# threads of the process afterwards (the interpreter's own plus the pool's
# helpers; the calling thread is one of the pool's workers).
SCRIPT = textwrap.dedent("""
    import hashlib, os, random, sys
    sys.path.insert(0, {tools!r})
    if {cpus!r} is not None:
        os.sched_setaffinity(0, {cpus!r})
    import vintrel
    from encoders import ostra96 as enc
    rng = random.Random(7)
    flips = {{(rng.randrange(96), rng.randrange(4096)): rng.sample(range(14), rng.randrange(1, 3))
              for _ in range(400)}}
    block = enc.encode_event(enc.block_params(), flips=flips)
    if {headroom!r} is not None:  # address space for no thread stack when the pool starts
        import resource
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + {headroom!r}, resource.RLIM_INFINITY))
    records = vintrel.ecc_check(block)
    assert vintrel.ecc_check(block) == records
    print(hashlib.sha256(repr(records).encode()).hexdigest(), len(records), len(os.listdir("/proc/self/task")))
""")


def eight_mib_stacks():
    resource.setrlimit(resource.RLIMIT_STACK, (8 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1]))


def run_script(env_value, cpus=None, headroom=None):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if env_value is not None:
        env["RAYON_NUM_THREADS"] = env_value
    out = subprocess.run([sys.executable, "-c", SCRIPT.format(tools=str(TOOLS), cpus=cpus, headroom=headroom)],
                         env=env, capture_output=True, text=True, timeout=120,
                         preexec_fn=None if headroom is None else eight_mib_stacks)
    assert out.returncode == 0, out.stderr
    digest, count, threads = out.stdout.split()
    return digest, int(count), int(threads)


@pytest.fixture(scope="module")
def single_worker():
    return run_script("1")


@pytest.mark.parametrize("env_value, helpers", [
    ("1", 0), ("2", 1), ("3", 2), (None, None), ("0", None), ("-2", None), ("two", None), ("", None), ("2x", None),
])
def test_result_is_identical_for_every_pool_size(single_worker, env_value, helpers):
    digest, count, threads = run_script(env_value)
    assert (digest, count) == single_worker[:2] and count > 0
    expected = helpers if helpers is not None else min(len(os.sched_getaffinity(0)), 256) - 1
    assert threads == 1 + expected


@pytest.mark.skipif(SANITIZER, reason="the sanitizer's runtime reserves more address space than any limit")
def test_pool_whose_threads_cannot_start_works_alone(single_worker):
    assert run_script("4", headroom=4 << 20) == single_worker


def test_default_size_follows_the_affinity_mask():
    cpu = min(os.sched_getaffinity(0))
    # A pool of one is the caller alone: no helper thread is started.
    assert run_script(None, cpus={cpu})[2] == 1


def _child_check(block, queue):
    queue.put(hashlib.sha256(repr(vintrel.ecc_check(block)).encode()).hexdigest())


def _block(seed):
    rng = random.Random(seed)
    flips = {(rng.randrange(96), rng.randrange(4096)): [rng.randrange(16)] for _ in range(50)}
    return enc.encode_event(enc.block_params(), flips=flips)


def _run_children(ctx, block, n):
    queue = ctx.Queue()
    children = [ctx.Process(target=_child_check, args=(block, queue)) for _ in range(n)]
    for child in children:
        child.start()
    results = []
    for child in children:
        child.join(timeout=60)
        if child.is_alive():
            child.kill()
            pytest.fail("a forked child hung in ecc_check")
        assert child.exitcode == 0
    while len(results) < n:
        results.append(queue.get(timeout=10))
    return results


def test_forked_child_after_the_parent_used_the_pool():
    block = _block(1)
    expected = hashlib.sha256(repr(vintrel.ecc_check(block)).encode()).hexdigest()
    ctx = multiprocessing.get_context("fork")
    assert _run_children(ctx, block, 3) == [expected] * 3


FORK_WHEN_IDLE = textwrap.dedent("""
    import os, sys, warnings
    sys.path.insert(0, {tools!r})
    import vintrel
    from encoders import ostra96 as enc
    warnings.simplefilter("error")  # Python 3.12+ warns when it forks a multi-threaded process
    block = enc.encode_event(enc.block_params(), flips={{(1, 2): [3]}})
    first = vintrel.ecc_check(block)
    threads = lambda: len(os.listdir("/proc/self/task"))
    counts = [threads()]
    pid = os.fork()
    if pid == 0:
        os._exit(0 if vintrel.ecc_check(block) == first else 1)
    counts.append(threads())
    counts.append(os.waitpid(pid, 0)[1])
    assert vintrel.ecc_check(block) == first
    print(*counts, threads())
""")


def test_an_idle_pool_ends_its_threads_before_fork_and_starts_them_again():
    env = {**os.environ, "RAYON_NUM_THREADS": "3"}
    out = subprocess.run([sys.executable, "-c", FORK_WHEN_IDLE.format(tools=str(TOOLS))],
                         env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["3", "1", "0", "3"]  # before, after fork, child's status, after the next call


def test_fork_while_another_thread_is_checking():
    block = _block(2)
    expected = hashlib.sha256(repr(vintrel.ecc_check(block)).encode()).hexdigest()
    stop = threading.Event()
    failures = []

    def busy():
        while not stop.is_set():
            if hashlib.sha256(repr(vintrel.ecc_check(block)).encode()).hexdigest() != expected:
                failures.append("parent")

    worker = threading.Thread(target=busy)
    worker.start()
    try:
        ctx = multiprocessing.get_context("fork")
        for _ in range(5):
            assert _run_children(ctx, block, 2) == [expected] * 2
    finally:
        stop.set()
        worker.join()
    assert not failures


def test_concurrent_callers_get_their_own_results():
    blocks = [_block(seed) for seed in range(4)]
    expected = [vintrel.ecc_check(b) for b in blocks]
    results = {}

    def check(i):
        results[i] = [vintrel.ecc_check(blocks[i]) for _ in range(5)]

    threads = [threading.Thread(target=check, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert all(results[i] == [expected[i]] * 5 for i in range(4))


def test_pool_threads_do_not_hold_up_exit():
    code = (f"import sys; sys.path.insert(0, {str(TOOLS)!r}); import vintrel; from encoders import ostra96 as enc; "
            "vintrel.ecc_check(enc.encode_event(enc.block_params())); print('done')")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "RAYON_NUM_THREADS": "4"})
    assert out.returncode == 0 and out.stdout == "done\n", out.stderr
