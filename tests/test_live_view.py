"""The reader remembers the chunk list between calls, yet after anything done
to the directory (by another thread or process) the next call answers as a
full re-scan would; threads, forked children; one pass per multi-event call."""

import collections
import ctypes
import multiprocessing
import os
import random
import re
import shutil
import struct
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import acqwriter
import vintrel
from child_process import SANITIZER, in_child
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
