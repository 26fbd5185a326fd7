"""The `vintrel` command, driven in subprocesses on sample acquisitions:
outputs and exit statuses, one-line failures, export bytes against
export_csv, Ctrl-C during an export, the PNG of `plot`, the ECC summary;
unusual files (special files, links, loops, names that are not UTF-8) and
the reasons behind failures."""

import gzip
import importlib.util
import json
import os
import pickle
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vintrel
from encoders import MODULES, encoder_for, merrowv3, ostra96
from test_csv_layout import cell
from vintrel.cli import boards, pedestals

# The build or install the tests import, also for commands run elsewhere.
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(Path(vintrel.__file__).parent.parent),
                                                                  os.environ.get("PYTHONPATH")]))}
SMALL = merrowv3.sample_params(channels=2, windows=64, samples=2)


def cli(*args, cwd=None, code=None):
    command = [sys.executable, *(["-c", code] if code else ["-m", "vintrel"]), *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, env=ENV, cwd=cwd, timeout=120)


def small_event(i):
    return merrowv3.encode_windows([[(0, i % 64, [i, i + 1]), (1, i % 64, [2 * i, 7])]])


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    """run7: 2500 small events with pedestals; pikor: a board of another family;
    nope: an unsupported model; broken: its chunk 0 data file cut short and
    its chunk 2 unreachable (no 1.idx)."""
    from acqwriter import write_acquisition, write_chunk
    base = tmp_path_factory.mktemp("acqs")
    table = {"data": [[[c + w / 4 + s for s in range(2)] for w in range(64)] for c in range(2)]}
    write_acquisition(base / "run7", SMALL, [small_event(i) for i in range(2500)], chunk_size=900,
                      side_files={"pedestals_calibration": table})
    enc = encoder_for("pikorv2_evalr1")
    params = enc.sample_params(model="pikorv2_evalr1")
    write_acquisition(base / "pikor", params, [enc.sample_event(params, random.Random(i)) for i in range(3)])
    write_acquisition(base / "nope", {**SMALL, "model": "nope"}, [small_event(1)])
    broken = write_acquisition(base / "broken", SMALL, [small_event(i) for i in range(20)], chunk_size=10)
    os.truncate(broken / "0.bin", (broken / "0.bin").stat().st_size - 5)
    os.remove(broken / "1.idx")
    write_chunk(broken, 2, [small_event(0)])
    (base / "not-an-acquisition").mkdir()
    (base / "odd").mkdir()
    (base / "odd" / "metadata.yml").write_text(
        "params: &p {model: merrowv3, channels: 1, windows: 1, samples: 1, when: 2024-01-02, nan: .nan, self: *p}\n"
        "registers: {}\n")
    return base


def one_line_failure(result, command):
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"vintrel {command}: "), result.stderr
    return lines[0]


@pytest.mark.parametrize("args, code, out", [
    (["info", "{root}/pikor"], 0, "board          pikorv1\nchunks         1\nevents         3\n"),
    (["info", "{root}/nope"], 0, "board          unsupported model"),
    (["info", "{root}/broken"], 0, "warning        chunk 1 has no 1.idx, so chunks 1 to 2 are not read"),
    (["ls", "{root}"], 0, "broken  merrowv3        1 chunk   10 events\nnope    nope            1 chunk   1 event\n"
                          "odd     merrowv3        0 chunks  0 events\npikor   pikorv2_evalr1  1 chunk   3 events\n"
                          "run7    merrowv3        3 chunks  2500 events\n"),
    (["--version"], 0, f"vintrel {vintrel.__version__}\n"),
    (["info", "{root}/missing"], 1, "{root}/missing: No such file or directory"),
    (["info", "{root}/not-an-acquisition"], 1, "not an acquisition (no metadata.yml in it)"),
    (["ls", "{root}/missing"], 1, "No such file or directory"),
    (["export", "{root}/nope", "{root}/out"], 1, "unsupported board model 'nope'"),
    (["export", "{root}/run7", "{root}/out", "--range", "3:x"], 1, "bad range '3:x'"),
    (["export", "{root}/run7", "{root}/out", "--range", "::0"], 1, "bad range '::0'"),
    (["export", "{root}/run7", "{root}/out", "--range", "2500:"], 1, "selects no events (the acquisition has 2500"),
    (["plot", "{root}/run7", "2500"], 1, "no event 2500: the acquisition has 2500 events"),
    (["plot", "{root}/broken", "9"], 1, "event 9 cannot be read from 0.bin (chunk 0)"),
    (["plot", "{root}/nope", "0"], 1, "event 0: Failed to parse event: data is from an unsupported board model"),
    (["ecc", "{root}/run7/0.bin"], 1, "not an ostra96 data block: data block"),
    ([], 2, "usage: vintrel"),
    (["info"], 2, "usage: vintrel info"),
    (["frobnicate", "x"], 2, "invalid choice"),
    (["export", "{root}/run7", "{root}/out", "--jobs", "0"], 2, "expected a positive integer"),
    (["plot", "{root}/run7", "1", "--channels", "1,x"], 2, "expected channel numbers"),
])
def test_outputs_and_exit_statuses(root, args, code, out):
    result = cli(*(a.format(root=root) for a in args))
    assert result.returncode == code, result.stderr
    assert out.format(root=root) in (result.stdout if code == 0 else result.stderr)
    assert "Traceback" not in result.stderr
    if code == 1:
        one_line_failure(result, args[0])


@pytest.mark.parametrize("command", ["info", "ls", "export", "plot", "ecc", "sample"])
def test_every_command_has_help(command):
    result = cli(command, "--help")
    assert result.returncode == 0 and result.stdout.startswith(f"usage: vintrel {command}")


def test_the_board_table_names_every_model():
    assert sorted(boards.BOARDS) == sorted(MODULES)
    assert boards.board_of("pikorv2_eval") == "pikorv1" and boards.board_of("Merrowv3") is None


def test_info_json(root):
    info = json.loads(cli("info", root / "pikor", "--json").stdout)
    event = vintrel.Acquisition(root / "pikor")[0]
    assert (info["name"], info["model"], info["board"], info["chunks"], info["events"]) == \
        ("pikor", "pikorv2_evalr1", "pikorv1", 1, 3)
    assert info["side_files"] == dict.fromkeys(
        ["readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration"], False)
    assert [c["window_labels"] for c in info["first_event"]["channels"]] == event["window_labels"]
    nope = json.loads(cli("info", root / "nope", "--json").stdout)
    assert nope["board"] is None and nope["first_event"]["error"].endswith("unsupported board model")
    assert json.loads(cli("info", root / "broken", "--json").stdout)["warnings"]
    odd = json.loads(cli("info", root / "odd", "--json").stdout)["params"]  # a recursive mapping, a date, NaN
    assert (odd["self"], odd["when"], odd["nan"]) == ("...", "2024-01-02", "nan")


@pytest.mark.parametrize("options, indices", [
    ([], range(2500)),
    (["--range", "10:-5:3", "--jobs", "2", "--pedestals"], range(10, 2495, 3)),
    (["--range", "2400:100:-1", "--jobs", "3"], range(2400, 100, -1)),
])
def test_export_writes_what_export_csv_writes(root, tmp_path, options, indices):
    acq = vintrel.Acquisition(root / "run7")
    vintrel.export_csv(acq, indices, tmp_path, "--pedestals" in options)
    result = cli("export", root / "run7", tmp_path / "out", *options)
    assert result.returncode == 0, result.stderr
    expected = sorted(tmp_path.glob("*.csv"))
    assert len(expected) == -(-len(indices) // 1000)
    assert sorted(os.listdir(tmp_path / "out")) == ["export.json"] + [f.name for f in expected]
    for f in expected:
        assert (tmp_path / "out" / f.name).read_bytes() == f.read_bytes()
    report = json.loads((tmp_path / "out" / "export.json").read_text())
    assert [f["file"] for f in report["files"]] == [f"run7 (chunk {k}).csv" for k in range(len(expected))]
    assert [i for f in report["files"] for run in f["indices"] for i in range(*run)] == list(indices)
    assert report["pedestals"] == {"requested": "--pedestals" in options, "applied": "--pedestals" in options}
    assert f"exported {len(indices)} of {len(indices)} events to {len(expected)} file" in result.stdout
    assert f"/{len(indices)} [" in result.stderr  # the progress bar's final count


def test_export_lists_the_events_left_out(root, tmp_path):
    result = cli("export", root / "broken", tmp_path, "--pedestals")
    assert result.returncode == 0
    assert "exported 9 of 10 events to 1 file" in result.stdout
    assert "left out 1 event that could not be read: 9" in result.stdout
    assert "warning: chunk 1 has no 1.idx" in result.stderr
    assert "warning: no usable pedestals_calibration side file: the export runs without correction" in result.stderr
    left = json.loads((tmp_path / "export.json").read_text())["left_out"]
    assert [(e["index"], e["file"], e["reason"]) for e in left] == [(9, "broken (chunk 0).csv", "could not be read")]
    quiet = cli("export", root / "broken", tmp_path, "--quiet", "--overwrite")
    assert quiet.returncode == 0 and quiet.stdout == "" and "%" not in quiet.stderr


def test_ctrl_c_leaves_only_complete_files(tmp_path):
    # 6 files of the same 1000 events each: every complete file equals the first.
    from acqwriter import write_acquisition
    params = merrowv3.sample_params()
    events = [merrowv3.sample_event(params, random.Random(i)) for i in range(50)]
    acq = vintrel.Acquisition(write_acquisition(tmp_path / "long", params, events * 120))
    vintrel.export_csv(acq, range(1000), tmp_path, False)
    reference = (tmp_path / "long (chunk 0).csv").read_bytes()
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "vintrel", "export", acq.path, out], env=ENV, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    while proc.poll() is None and not (out.exists() and any(n.endswith(".csv") for n in os.listdir(out))):
        time.sleep(0.02)
    start = time.monotonic()
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=30)
    assert time.monotonic() - start < 1.0
    assert proc.returncode == 130 and "Traceback" not in stderr and "interrupted" in stderr
    names = os.listdir(out)
    assert 1 <= len(names) < 6 and all(name.startswith("long (chunk ") for name in names)
    assert all((out / name).read_bytes() == reference for name in names)


def test_plot_writes_a_picture(root, tmp_path):
    image = pytest.importorskip("matplotlib.image", reason="the plot extra (matplotlib) is not installed")
    result = cli("plot", root / "pikor", 1, "--channels", "0,3", "--pedestals", cwd=tmp_path)
    assert result.returncode == 0 and result.stdout == "pikor_event1.png\n"
    assert "no usable pedestals_calibration" in result.stderr
    pixels = image.imread(tmp_path / "pikor_event1.png")
    assert pixels.shape[:2] == (500, 1000)
    assert len({tuple(p) for p in pixels.reshape(-1, pixels.shape[2])[::37]}) > 20
    other = cli("plot", root / "run7", 3, "-o", tmp_path / "run7.png", "--pedestals")
    assert other.returncode == 0 and (tmp_path / "run7.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_plot_without_matplotlib_names_the_extra(root):
    code = "import sys; sys.modules['matplotlib'] = None; from vintrel.cli import main; sys.exit(main())"
    result = cli("plot", root / "run7", 0, code=code)
    assert result.returncode == 1
    assert "pip install 'vintrel[plot]'" in one_line_failure(result, "plot")


def test_plotted_pedestal_subtraction_matches_the_export(root, tmp_path):
    acq = vintrel.Acquisition(root / "run7")
    vintrel.export_csv(acq, [5], tmp_path, True)
    rows = [line.split(",") for line in (tmp_path / "run7 (chunk 0).csv").read_text().splitlines()[1:]]
    data = pedestals.corrected_samples(acq, 5)
    assert [[cell(v) for v in ch] for ch in data] == [[r[3] for r in rows], [r[6] for r in rows]]
    assert data != acq[5]["data"]


def test_pedestal_tables_that_do_not_fit(root, tmp_path):
    # Pedestals for window labels 0-31 only: events 32-63 and 96-99 cannot be corrected.
    short = shutil.copytree(root / "run7", tmp_path / "short")
    (short / "pedestals_calibration").write_bytes(gzip.compress(pickle.dumps({"data": [[[0.0, 0.0]] * 32] * 2})))
    result = cli("plot", short, 40, "--pedestals", "-o", tmp_path / "p.png")
    assert result.returncode == 1
    assert "event 40 cannot be corrected: pedestal correction failed" in one_line_failure(result, "plot")
    result = cli("export", short, tmp_path / "out", "--pedestals", "--range", "0:100")
    assert "left out 36 events that could not be corrected with the pedestal table: 32-63, 96-99" in result.stdout
    (short / "pedestals_calibration").write_bytes(b"junk")
    result = cli("export", short, tmp_path / "out2", "--pedestals", "--range", "0:100", "--jobs", "2")
    assert result.returncode == 0 and "RuntimeWarning" not in result.stderr
    assert result.stderr.count("warning: no usable pedestals_calibration side file (") == 1


def test_ecc_summary_and_correction(tmp_path):
    block = ostra96.encode_event(ostra96.block_params(), flips={(0, 5): [3], (17, 9): [1, 2], (95, 4095): [14]})
    (tmp_path / "block").write_bytes(block)
    result = cli("ecc", tmp_path / "block", "--correct", tmp_path / "fixed")
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert len(lines) == 1 + 96 + 2
    assert [lines[1 + c].split() for c in (0, 1, 17, 95)] == [
        ["0", "4096", "1", "0"], ["1", "4096", "0", "0"], ["17", "4096", "0", "1"], ["95", "4096", "1", "0"]]
    assert lines[97].split() == ["total", "393216", "2", "1"]
    assert (tmp_path / "fixed").read_bytes() == vintrel.ecc_correct(block)


def test_a_closed_pipe_ends_quietly(root):
    proc = subprocess.Popen([sys.executable, "-m", "vintrel", "info", root / "run7"], env=ENV,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    assert proc.wait(timeout=60) == 141 and proc.stderr.read() == b""


def cli_bytes(*args):
    command = [sys.executable, "-m", "vintrel", *(os.fsencode(a if isinstance(a, os.PathLike) else str(a)) for a in args)]
    return subprocess.run(command, capture_output=True, env=ENV, timeout=120)


@pytest.fixture(scope="module")
def odd_root(tmp_path_factory):
    """ok: a plain acquisition; dir0: its 0.bin a directory; loop: its 0.bin a link to itself."""
    from acqwriter import write_acquisition
    base = tmp_path_factory.mktemp("odd")
    for name in ("ok", "dir0", "loop"):
        write_acquisition(base / name, SMALL, [small_event(i) for i in range(3)])
    os.remove(base / "dir0" / "0.bin")
    (base / "dir0" / "0.bin").mkdir()
    os.remove(base / "loop" / "0.bin")
    os.symlink("0.bin", base / "loop" / "0.bin")
    (base / "big").write_bytes(bytes(6 * 131140 + 3))
    os.mkfifo(base / "fifo")
    return base


@pytest.mark.parametrize("args, code, out", [
    (["ls", "{root}"], 0, "dir0  merrowv3  ?        unreadable: Invalid path\n"
                          "loop  merrowv3  ?        unreadable: Too many levels of symbolic links\n"
                          "ok    merrowv3  1 chunk  3 events\n"),
    (["ecc", "/dev/zero"], 1, "vintrel ecc: /dev/zero: not a regular file"),
    (["ecc", "{root}/fifo"], 1, "fifo: not a regular file"),
    (["ecc", "{root}"], 1, "not a regular file"),
    (["ecc", "{root}/big"], 1, "big: not an ostra96 data block: larger than the largest block (786842 bytes)"),
])
def test_unusual_files(odd_root, args, code, out):
    result = cli(*(a.format(root=odd_root) for a in args))
    assert result.returncode == code, result.stderr
    assert out.format(root=odd_root) in (result.stdout if code == 0 else result.stderr)
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("kind, mode", [("file", 0o600), ("link", 0o640)])
def test_ecc_correct_keeps_the_mode_and_writes_through_a_link(tmp_path, kind, mode):
    block = ostra96.encode_event(ostra96.block_params(), flips={(3, 7): [2]})
    (tmp_path / "block").write_bytes(block)
    target = tmp_path / "target"
    target.write_bytes(b"old")
    target.chmod(mode)
    out = target if kind == "file" else tmp_path / "out"
    if kind == "link":
        out.symlink_to("target")
    result = cli("ecc", tmp_path / "block", "--correct", out)
    assert result.returncode == 0, result.stderr
    assert out.is_symlink() == (kind == "link") and target.read_bytes() == vintrel.ecc_correct(block)
    assert target.stat().st_mode & 0o7777 == mode
    assert sorted(os.listdir(tmp_path)) == sorted(["block", "target"] + (["out"] if kind == "link" else []))


# The command under a file size limit of 3000 bytes, lifted again before the
# interpreter exits: a coverage build writes its counts then, and files cut
# short at the limit would spoil the counts of every later process.
SMALL_FILES = """
import resource, signal, sys
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (3000, resource.RLIM_INFINITY))
from vintrel.cli import main
try:
    status = main()
finally:
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
sys.exit(status)
"""


def test_a_failed_export_prints_its_cause(root, tmp_path):
    result = cli("export", root / "run7", tmp_path / "out", "--range", ":500", "--quiet", code=SMALL_FILES)
    assert result.returncode == 1
    line = result.stderr
    assert line.endswith("Could not export: error occurred while exporting as csv: [Errno 27] File too large\n"), line
    assert line.count("\n") == 1


def test_a_directory_name_that_is_not_utf8(tmp_path):
    from acqwriter import write_acquisition
    name = b"run_\xe9"
    path = write_acquisition(tmp_path / "root" / os.fsdecode(name), SMALL, [small_event(i) for i in range(3)])
    ls = cli_bytes("ls", tmp_path / "root")
    assert (ls.returncode, ls.stdout, ls.stderr) == (0, name + b"  merrowv3  1 chunk  3 events\n", b"")
    info = cli_bytes("info", path)
    assert info.returncode == 0 and info.stdout.startswith(b"name           " + name + b"\n"), info.stderr
    assert json.loads(cli_bytes("info", path, "--json").stdout)["name"] == os.fsdecode(name)
    export = cli_bytes("export", path, tmp_path / "out")
    assert export.returncode == 0, export.stderr
    assert os.path.exists(tmp_path / "out" / os.fsdecode(name + b" (chunk 0).csv"))
    if importlib.util.find_spec("matplotlib"):
        plot = cli_bytes("plot", path, 1, "-o", tmp_path / "p.png")
        assert plot.returncode == 0, plot.stderr


@pytest.mark.parametrize("present, options, refused", [
    (["run7 (chunk 0).csv"], [], "run7 (chunk 0).csv"),
    (["export.json"], [], "export.json"),
    (["run7 (chunk 0).csv", "export.json"], ["--overwrite"], None),
    (["run7 (chunk 3).csv"], [], None),
])
def test_an_export_replaces_files_only_with_overwrite(root, tmp_path, present, options, refused):
    out = tmp_path / "out"
    out.mkdir()
    for name in present:
        (out / name).write_text("mine")
    result = cli("export", root / "run7", out, "--range", "1500:1510", *options)
    if refused:
        assert result.returncode == 1
        assert one_line_failure(result, "export") == \
            f"vintrel export: {out / refused}: exists; the export replaces no file without --overwrite"
        assert sorted(os.listdir(out)) == sorted(present) and all((out / n).read_text() == "mine" for n in present)
    else:
        assert result.returncode == 0, result.stderr
        report = json.loads((out / "export.json").read_text())
        assert report["files"] == [{"file": "run7 (chunk 0).csv", "events": 10, "requested": 10,
                                    "indices": [[1500, 1510]]}]
        assert report["acquisition"] == {"path": str(root / "run7"), "name": "run7"}


# Child code: SIGINT to itself right after the step named, then a pause, so
# that the interrupt is handled while the step is where it was.
INTERRUPT_AFTER = """
import functools, os, signal, sys, time
real = os.{call}
done = []
def patched(*args, **kwargs):
    result = real(*args, **kwargs)
    if {condition} and not done:
        done.append(1)
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.5)
    return result
# A partial, not a function: Python 3.10's pathlib keeps os.mkdir in a class,
# where a function would become a method.
os.{call} = functools.partial(patched)
from vintrel.cli import main
sys.exit(main())
"""


@pytest.mark.parametrize("call, condition, complete", [
    ("mkdir", "os.path.basename(args[0]).startswith('.vintrel-export-')", 0),
    ("replace", "str(args[1]).endswith('.csv')", 1),
])
def test_ctrl_c_at_each_step_is_counted_and_cleaned_up(root, tmp_path, call, condition, complete):
    out = tmp_path / "out"
    code = INTERRUPT_AFTER.format(call=call, condition=condition)
    proc = subprocess.run([sys.executable, "-c", code, "export", root / "run7", out, "--jobs", "1"],
                          capture_output=True, text=True, env=ENV, timeout=120,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert proc.returncode == 130 and "Traceback" not in proc.stderr
    assert f"interrupted; {complete} complete file{'s' if complete != 1 else ''} of 3 written" in proc.stderr
    assert sorted(os.listdir(out)) == [f"run7 (chunk {k}).csv" for k in range(complete)]
