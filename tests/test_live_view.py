"""The reader remembers the chunk list between calls, yet after anything done
to the directory (by another thread or process) the next call answers as a
full re-scan would; threads, forked children; one pass per multi-event call."""

import collections
import ctypes
import json
import multiprocessing
import os
import pathlib
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import acqwriter
import vintrel
from child_process import SANITIZER, in_child, outcome
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=2, windows=4, samples=8)
POOL = [merrowv3.sample_event(PARAMS, random.Random(k)) for k in range(40)]


def settle(root):
    """Waits until what the reader records about `root` is trusted (times older than a tick)."""
    st = os.stat(root)
    time.sleep(2.1 if 0 in (st.st_mtime_ns % 10**9, st.st_ctime_ns % 10**9) else 0.05)


def rescan(root):
    """Chunk count and events of chunks 0, 1, ... up to the first missing one, read in Python."""
    n, events = 0, []
    while (root / f"{n}.bin").is_file() and (root / f"{n}.idx").is_file():
        data, index = (root / f"{n}.bin").read_bytes(), (root / f"{n}.idx").read_bytes()
        events += [data[o:o + k] for o, k in struct.iter_unpack("<II", index[:len(index) // 8 * 8])]
        n += 1
    return n, events


def assert_like_rescan(acq, root):
    chunks, events = rescan(root)
    assert (acq.chunk_count, len(acq)) == (chunks, len(events))
    assert [acq.raw_event(i)["rawdata"] for i in range(len(events))] == events
    with pytest.raises(IndexError):
        acq.raw_event(len(events))
    ref = vintrel.Acquisition(acqwriter.write_acquisition(root.parent / f"ref{time.monotonic_ns()}", PARAMS, events))
    assert acq[0:len(events)] == list(iter(acq)) == [ref.parsed_event(i) for i in range(len(events))]


def replace_files(root, n, events):
    acqwriter.write_chunk(root.parent, n, events)
    for ext in ("bin", "idx"):
        os.replace(root.parent / f"{n}.{ext}", root / f"{n}.{ext}")


def append(root):
    acqwriter.append_events(root, rescan(root)[0] - 1, POOL[30:32])


CHANGES = {  # chunks 0, 1, 2 of 3 events; 3.bin and 3.idx are links to files that do not exist yet
    "append to the last chunk": append,
    "new chunk": lambda root: ([(root / f"3.{e}").unlink() for e in ("bin", "idx")],
                               acqwriter.write_chunk(root, 3, POOL[30:32])),
    "targets of a new chunk's links created": lambda root: acqwriter.write_chunk(root, 3, POOL[30:32]),
    "middle chunk removed": lambda root: (root / "1.idx").unlink(),
    "last chunk removed": lambda root: (root / "2.bin").unlink(),
    "chunk renamed into a gap": lambda root: [os.replace(root / f"2.{e}", root / f"1.{e}") for e in ("bin", "idx")],
    "middle chunk replaced by new files": lambda root: replace_files(root, 1, POOL[30:34]),
    "last chunk replaced by new files": lambda root: replace_files(root, 2, POOL[30:31]),
    "last chunk rewritten in place": lambda root: (os.truncate(root / "2.bin", 0), os.truncate(root / "2.idx", 0),
                                                   acqwriter.append_events(root, 2, POOL[30:35])),
    "directory removed and created again": lambda root: (
        shutil.rmtree(root), acqwriter.write_acquisition(root, PARAMS, POOL[20:27], chunk_size=2)),
    "directory replaced by another": lambda root: (
        acqwriter.write_acquisition(root.with_name("new"), PARAMS, POOL[20:27], chunk_size=2),
        shutil.rmtree(root), os.rename(root.with_name("new"), root)),
}


def run_writer(kind, change, root):
    ctx = multiprocessing.get_context("fork")
    writer = (threading.Thread if kind == "thread" else ctx.Process)(target=change, args=(root,))
    writer.start()
    writer.join(60)
    assert getattr(writer, "exitcode", 0) == 0


@pytest.mark.parametrize("writer", ["thread", "process"])
@pytest.mark.parametrize("change", CHANGES)
def test_next_call_answers_as_a_rescan(tmp_path, writer, change):
    root = acqwriter.write_acquisition(tmp_path / "acq", PARAMS, POOL[:9], chunk_size=3)
    for ext in ("bin", "idx"):
        (root / f"3.{ext}").symlink_to(tmp_path / f"3.{ext}")
    acq = vintrel.Acquisition(root)
    for change in (CHANGES[change], append):
        settle(root)
        assert_like_rescan(acq, root)  # remembered and trusted: the change comes within the same tick
        run_writer(writer, change, root)
        assert_like_rescan(acq, root)


def test_middle_chunk_written_as_the_list_was_made_is_checked_again(tmp_path):
    root = acqwriter.write_acquisition(tmp_path / "acq", PARAMS, POOL[:9], chunk_size=3)
    future = time.time_ns() + 10**12  # later than any scan: never settled
    os.utime(root / "1.idx", ns=(future, future))
    settle(root)
    acq = vintrel.Acquisition(root)
    assert_like_rescan(acq, root)
    acqwriter.append_events(root, 1, POOL[30:32])  # the directory does not change
    assert_like_rescan(acq, root)


def export_files(acq, indices, out):
    out.mkdir()
    vintrel.export_csv(acq, indices, out, False)
    return {p.name: p.read_bytes() for p in out.iterdir()}


def test_exports_in_threads_and_forked_children_while_the_directory_changes(tmp_path):
    """Exports release the interpreter lock, so their reads meet in the
    remembered chunk list, which each directory change replaces."""
    root = acqwriter.write_acquisition(tmp_path / "acq", PARAMS, POOL[:30], chunk_size=1)
    acq, indices, stop = vintrel.Acquisition(root), list(range(30)) * 40, threading.Event()
    expected = export_files(acq, indices, tmp_path / "alone")

    def change_directory():
        while not stop.is_set():
            (root / "notes").write_text("x")
            (root / "notes").unlink()

    toucher = threading.Thread(target=change_directory)
    toucher.start()
    try:
        with ThreadPoolExecutor(3) as pool:
            futures = [pool.submit(export_files, acq, indices, tmp_path / f"t{k}") for k in range(3)]
            for k in range(0 if SANITIZER else 10):  # forked while the exports run
                got = in_child(lambda: (len(acq), acq.raw_event(29)["rawdata"],
                                        export_files(acq, indices[:60], tmp_path / f"c{k}")))
                assert got == (30, POOL[29], export_files(acq, indices[:60], tmp_path / f"p{k}"))
            assert all(f.result(timeout=120) == expected for f in futures)
    finally:
        stop.set()
        toucher.join(60)


def open_counter(directory):
    """A function that gives the opens of chunk files in `directory` since its last call (inotify)."""
    libc = ctypes.CDLL(None)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    assert fd >= 0 and libc.inotify_add_watch(fd, os.fsencode(directory), 0x20) >= 0  # IN_OPEN

    def take():
        events = b""
        while True:
            try:
                events += os.read(fd, 1 << 16)
            except BlockingIOError:  # a name follows its length (< 2^24: last byte 0) and ends with 0
                return collections.Counter(n.decode() for n in re.findall(rb"\0(\d+\.(?:bin|idx))\0", events))
    return take


def test_multi_event_calls_open_each_chunk_once(tmp_path):
    root = acqwriter.write_acquisition(tmp_path / "acq", PARAMS, POOL[:30], chunk_size=3)
    acq = vintrel.Acquisition(root)
    settle(root)
    len(acq)
    opens, every_chunk = open_counter(root), {f"{n}.{ext}": 1 for n in range(10) for ext in ("bin", "idx")}
    assert len(acq[0:30]) == len(acq[1:30:2]) * 2 == 30 and opens() == {k: 2 for k in every_chunk}
    export_files(acq, range(30), tmp_path / "out")
    assert opens() == every_chunk
    assert len(acq.arrays()) == 30 and opens() == every_chunk
    for _ in range(3):  # random access opens the chunk that holds the event, and nothing else
        assert (len(acq), acq.raw_event(29)["rawdata"], acq[29]) == (30, POOL[29], acq.parsed_event(29))
    assert opens() == {"9.bin": 9, "9.idx": 9}


def linked_acquisition(tmp_path):
    """Chunks 0, 1, 2 of 3 events; the files of chunks 1 and 2 are links into another directory."""
    store = tmp_path / "store"
    store.mkdir()
    for n in (1, 2):
        acqwriter.write_chunk(store, n, POOL[3 * n:3 * n + 3])
    root = acqwriter.write_acquisition(tmp_path / "acq", PARAMS, POOL[:3])
    for n in (1, 2):
        for ext in ("bin", "idx"):
            (root / f"{n}.{ext}").symlink_to(store / f"{n}.{ext}")
    return root, store


def replace_in(directory, n, events):
    staging = directory.parent / "staging"
    staging.mkdir(exist_ok=True)
    acqwriter.write_chunk(staging, n, events)
    for ext in ("bin", "idx"):
        os.replace(staging / f"{n}.{ext}", directory / f"{n}.{ext}")


def store_replaced(store):
    old = store.with_name("old")
    os.rename(store, old)
    store.mkdir()
    acqwriter.write_chunk(store, 1, POOL[30:32])
    shutil.copy(old / "2.bin", store / "2.bin")
    shutil.copy(old / "2.idx", store / "2.idx")


LINKED_CHANGES = {  # done in the directory the links lead to; the acquisition directory does not change
    "middle chunk's targets replaced": lambda store: replace_in(store, 1, POOL[30:35]),
    "middle chunk's targets removed": lambda store: [(store / f"1.{e}").unlink() for e in ("bin", "idx")],
    "middle chunk's index target removed": lambda store: (store / "1.idx").unlink(),
    "last chunk's targets replaced": lambda store: replace_in(store, 2, POOL[30:31]),
    "last chunk's data target removed": lambda store: (store / "2.bin").unlink(),
    "last chunk's index target removed": lambda store: (store / "2.idx").unlink(),
    "directory of the targets renamed": lambda store: os.rename(store, store.with_name("gone")),
    "directory of the targets replaced": store_replaced,
    "events appended to a linked middle chunk": lambda store: acqwriter.append_events(store, 1, POOL[30:32]),
}


@pytest.mark.parametrize("change", LINKED_CHANGES)
def test_chunk_files_named_by_links_are_followed_on_every_call(tmp_path, change):
    root, store = linked_acquisition(tmp_path)
    settle(store)
    settle(root)
    acq = vintrel.Acquisition(root)
    assert_like_rescan(acq, root)  # remembered and trusted
    LINKED_CHANGES[change](store)
    assert_like_rescan(acq, root)
    if (root / "0.idx").exists():
        append(root)
        assert_like_rescan(acq, root)


def unprivileged(fn, tmp_path):
    """Runs fn(directory) where file permissions hold: as is, or as root in a child that becomes 'nobody'."""
    if os.geteuid() != 0:
        return fn(tmp_path)
    directory = tempfile.mkdtemp(prefix="vintrel-perm-")
    try:
        os.chmod(directory, 0o755)
        os.chown(directory, 65534, 65534)

        def child():
            os.setgid(65534)
            os.setuid(65534)
            return fn(pathlib.Path(directory))
        return in_child(child)
    finally:
        shutil.rmtree(directory)


def permission_outcomes(directory, path, changes):
    """What a long-lived and a fresh reader say after each change to `path`'s mode."""
    root = acqwriter.write_acquisition(directory / "acq", PARAMS, POOL[:9], chunk_size=3)
    settle(root)
    acq = vintrel.Acquisition(root)
    seen, _ = [], (len(acq), acq[8])
    for mode in changes:
        os.chmod(root / path, mode)
        for reader in (acq, vintrel.Acquisition(root)):
            calls = {"len": lambda: len(reader), "chunk_count": lambda: reader.chunk_count,
                     "last event": lambda: reader.raw_event(8)["rawdata"] == POOL[8]}
            seen.append({name: outcome(call)[0] for name, call in calls.items()})
    return seen


@pytest.mark.parametrize("path", ["2.idx", "2.bin"])
def test_permission_withdrawn_from_the_last_chunk_answers_as_a_fresh_reader(tmp_path, path):
    seen = unprivileged(lambda d: permission_outcomes(d, path, [0, 0o644]), tmp_path)
    withdrawn, restored = seen[0:2], seen[2:4]
    assert withdrawn[0] == withdrawn[1] and "PermissionError" in withdrawn[1].values()
    assert restored[0] == restored[1] == {"len": "ok", "chunk_count": "ok", "last event": "ok"}


MOUNTED = textwrap.dedent("""
    import json, subprocess, sys
    import vintrel
    root = sys.argv[1]
    def view(acq):
        return [acq.raw_event(i)["rawdata"].hex() for i in range(len(acq))]
    acq = vintrel.Acquisition(root)
    seen = [view(acq)]
    subprocess.run(["umount", root + "/1.idx", root + "/1.bin"], check=True)
    seen += [view(acq), view(vintrel.Acquisition(root))]
    print(json.dumps(seen))
""")


def can_bind_mount(tmp_path):
    (tmp_path / "a").touch()
    (tmp_path / "b").touch()
    probe = subprocess.run(["unshare", "-m", "mount", "--bind", tmp_path / "a", tmp_path / "b"], capture_output=True)
    return probe.returncode == 0


def test_chunk_files_under_a_bind_mount_are_checked_on_every_call(tmp_path):
    if shutil.which("unshare") is None or not can_bind_mount(tmp_path):
        pytest.skip("needs mount namespaces (root)")
    root = acqwriter.write_acquisition(tmp_path / "acq", PARAMS, POOL[:9], chunk_size=3)
    store = tmp_path / "store"
    store.mkdir()
    acqwriter.write_chunk(store, 1, POOL[30:35])
    settle(store)
    settle(root)
    mount = " && ".join(f"mount --bind '{store}/1.{e}' '{root}/1.{e}'" for e in ("idx", "bin"))
    proc = subprocess.run(["unshare", "-m", "sh", "-c", mount + ' && exec "$@"', "sh", sys.executable, "-c", MOUNTED,
                           str(root)], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.returncode == 0, proc.stderr
    mounted, long_lived, fresh = json.loads(proc.stdout)
    assert mounted == [e.hex() for e in POOL[:3] + POOL[30:35] + POOL[6:9]]
    assert long_lived == fresh == [e.hex() for e in POOL[:9]]
