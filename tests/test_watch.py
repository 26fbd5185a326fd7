"""`vintrel watch` in a subprocess, while a writer appends to the run."""

import importlib.util
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

import vintrel
from test_cli import ENV
from test_follow import PARAMS, POOL, writer
from vintrel.cli.watch import Display

STATUS = re.compile(r"[\d,]+ events, [\d,]+ events/s, \d+\.\d\d MB/s, \d+ chunks?, \d+ errors?, "
                    r"(no event yet|last event \d+\.\d s ago)")


def watch(*args):
    return subprocess.Popen([sys.executable, "-m", "vintrel", "watch", *map(str, args)], env=ENV, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def lines_until(proc, done, limit=60):
    lines, end = [], time.monotonic() + limit
    while not done(lines) and time.monotonic() < end:
        line = proc.stdout.readline()
        if not line:
            break
        lines.append(line.rstrip("\n"))
    return lines


def test_status_lines_on_a_pipe_and_summary_on_ctrl_c(make_acq, tmp_path):
    root = make_acq(PARAMS, POOL[:3], chunk_size=3)
    pictures = tmp_path / "pictures"
    pictures.mkdir()
    drawing = importlib.util.find_spec("matplotlib") is not None  # the plot extra
    proc = watch(root, "--interval", "0.1", *(["--plot", pictures / "latest.png"] if drawing else []))
    try:
        first = lines_until(proc, lambda lines: lines)[0]
        assert STATUS.fullmatch(first) and first.startswith("3 events, 0 events/s, 0.00 MB/s, 1 chunk, 0 errors, "
                                                            "last event ")  # when the index was written
        appender = writer(root, 3, POOL[3:12] + [b"\x01\x02\x03"], 3)
        appender.join(30)
        lines = lines_until(proc, lambda lines: lines and lines[-1].startswith("13 events"))
        assert lines and all(map(STATUS.fullmatch, lines))
        assert lines[-1].startswith("13 events") and ", 5 chunks, 1 error, last event" in lines[-1]
        end = time.monotonic() + 60
        while drawing and not (pictures / "latest.png").exists() and time.monotonic() < end:
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 130 and "Traceback" not in err
    assert re.fullmatch(r"acq\d+: 10 new events in \d+\.\d s \([\d,]+ events/s\), 13 in all, 1 error\n",
                        out.splitlines(keepends=True)[-1])
    if drawing:
        assert (pictures / "latest.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
        assert os.listdir(pictures) == ["latest.png"]  # no temporary file left beside it


def test_removed_acquisition_ends_the_watch(make_acq):
    root = make_acq(PARAMS, POOL[:3])
    proc = watch(root, "--interval", "0.1")
    try:
        lines_until(proc, lambda lines: lines)
        shutil.rmtree(root)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 1 and err == f"vintrel watch: {root}: the acquisition was removed\n"


@pytest.mark.parametrize("args, message", [
    (["--interval", "0"], "expected a number of seconds"),
    (["--channels", "a"], "expected channel numbers"),
    (["--plot", "latest.gif"], "pictures are written as .png, .pdf or .svg"),
])
def test_usage_errors(make_acq, args, message):
    proc = watch(make_acq(PARAMS, POOL[:1]), *args)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 2 and message in err


def test_not_an_acquisition(tmp_path):
    proc = watch(tmp_path)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 1 and err == f"vintrel watch: {tmp_path}: not an acquisition (no metadata.yml in it)\n"
    assert vintrel.is_acquisition(tmp_path) is False


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_status_rewritten_in_place_on_a_terminal():
    out = Terminal()
    display = Display(out)
    for text in ("12 events, last event 10.0 s ago", "13 events", "14 events, x"):
        display.show(text)
    display.end()
    # a shorter line covers what is left of the longer one before it
    assert out.getvalue() == "\r12 events, last event 10.0 s ago\r13 events" + " " * 23 + "\r14 events, x\n"
