"""Chunk, metadata and side files that are no regular files, chunk files the
system refuses to open, event counts beyond 64 bits. Calls that could block
run in a forked child."""

import errno
import os
import random
import resource
import socket
import tempfile
from pathlib import Path

import pytest

import acqwriter
import vintrel
from child_process import SANITIZER, in_child, outcome
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=2, windows=4, samples=8)


def bind_socket(path):
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(path)


SPECIAL = {  # kind: how to make it, the system's text for reading it, and the chunk file made so
    "directory": (Path.mkdir, "Is a directory (os error 21)", "1.idx"),
    "fifo": (os.mkfifo, "Invalid argument (os error 22)", "1.bin"),
    "socket": (lambda p: bind_socket(str(p)), "No such device or address (os error 6)", "1.idx"),
    "device": (lambda p: p.symlink_to("/dev/zero"), "Invalid argument (os error 22)", "1.bin"),
}


def two_chunks(make_acq, name=None):
    events = [merrowv3.sample_event(PARAMS, random.Random(k)) for k in range(5)]
    root = make_acq(PARAMS, events[:3], name=name)
    acqwriter.write_chunk(root, 1, events[3:])
    return root, events


@pytest.mark.parametrize("kind", SPECIAL)
def test_special_files_read_as_unreadable_ones(make_acq, tmp_path, kind):
    make, text, chunk_file = SPECIAL[kind]
    root, events = two_chunks(make_acq, "good")
    for path in (root / chunk_file, root / "pedestals_calibration", make_acq(PARAMS, name="bad") / "metadata.yml"):
        path.unlink(missing_ok=True)
        make(path)
    acq = vintrel.Acquisition(root)
    chunk_calls = (lambda: acq.raw_event(3), lambda: acq.parsed_event(3), lambda: acq[0], lambda: acq[0:1],
                   lambda: len(acq), lambda: acq.chunk_count)

    def calls():
        for out, correct in ((tmp_path / "corrected", True), (tmp_path / "plain", False)):
            out.mkdir()
            vintrel.export_csv(acq, range(3), out, correct)  # loading the pedestals does not block
        return [outcome(call) for call in chunk_calls] + [
            acq.raw_event(2)["rawdata"], outcome(lambda: vintrel.Acquisition(tmp_path / "bad")),
            outcome(lambda: acq.pedestals_calibration), [a.name for a in vintrel.list_acquisitions(tmp_path)]]

    assert in_child(calls) == [("FileNotFoundError", ("Invalid path",))] * len(chunk_calls) + [
        events[2], ("OSError", ("Could not read acquisition: failed to read metadata",)),
        ("OSError", ("Could not read acquisition: " + text,)), ["good"]]
    name = "good (chunk 0).csv"
    assert (tmp_path / "corrected" / name).read_bytes() == (tmp_path / "plain" / name).read_bytes()


def symlink_loop(path: Path):
    path.unlink()
    path.symlink_to(path.name)


def exhaust_descriptors(path: Path):
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    while outcome(lambda: os.open("/dev/null", os.O_RDONLY))[0] == "ok":
        pass


@pytest.mark.parametrize("break_file,error", [
    (symlink_loop, errno.ELOOP),
    pytest.param(exhaust_descriptors, errno.EMFILE, marks=pytest.mark.skipif(SANITIZER, reason="sanitizer")),
    pytest.param(lambda path: path.chmod(0), errno.EACCES,
                 marks=pytest.mark.skipif(os.geteuid() == 0, reason="root opens files regardless of permissions")),
])
def test_chunk_file_that_does_not_open_raises_oserror(make_acq, tmp_path, break_file, error):
    root, _ = two_chunks(make_acq)
    acq = vintrel.Acquisition(root)
    calls = (len, iter, lambda a: a.chunk_count, lambda a: a.raw_event(3), lambda a: a.parsed_event(4),
             lambda a: a[0], lambda a: a[0:2], lambda a: vintrel.export_csv(a, [3], tmp_path, False))

    def run():
        started = iter(vintrel.Acquisition(root))  # an iteration under way meets the refusal too
        break_file(root / "1.idx")
        return [outcome(lambda: call(acq)) for call in (*calls, lambda a: list(started))]

    *raised, exported, iterated = in_child(run)
    assert raised + [iterated] == [(type(OSError(error, "")).__name__, (error, os.strerror(error)))] * len(calls)
    # Without descriptors the export cannot read metadata.yml either.
    assert exported[0] == ("MetadataError" if error == errno.EMFILE else "ExportError")


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs tmpfs for index files of 2^63 - 1 bytes")
@pytest.mark.parametrize("chunks", [9, 17])  # (2^60 - 1) entries each: past 2^63 - 1, past 2^64 - 1
def test_event_count_beyond_64_bits_overflows(chunks):
    with tempfile.TemporaryDirectory(dir="/dev/shm") as tmp:
        root = acqwriter.write_acquisition(Path(tmp) / "huge", PARAMS)
        for n in range(chunks):
            acqwriter.write_chunk(root, n, [])
            os.truncate(root / f"{n}.idx", 2**63 - 1)
        acq = vintrel.Acquisition(root)
        for call in (len, lambda a: a[0:1], lambda a: a.arrays()):
            with pytest.raises(OverflowError, match="^event count does not fit a signed 64-bit integer$"):
                call(acq)
