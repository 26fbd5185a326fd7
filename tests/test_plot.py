"""vintrel.plot and `vintrel plot`: the written format follows the extension,
many channels get told apart, sample axes tick at whole samples, and the
overview's rates and pulse heights are those of the run."""

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import vintrel
from encoders import merrowv3
from vintrel import plot

pytest.importorskip("matplotlib", reason="the plot extra (matplotlib) is not installed")

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(Path(vintrel.__file__).parent.parent),
                                                                  os.environ.get("PYTHONPATH")]))}
MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "pdf": b"%PDF-", "svg": b"<?xml"}


def vintrel_cli(*args, cwd=None, code=None):
    command = [sys.executable, *(["-c", code] if code else ["-m", "vintrel"]), *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, env=ENV, cwd=cwd, timeout=300)


def png_size(path):
    head = Path(path).read_bytes()[:24]
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def colours_in(path):
    from matplotlib import image

    pixels = image.imread(path)
    return len(np.unique(pixels.reshape(-1, pixels.shape[2]), axis=0))


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    base = tmp_path_factory.mktemp("runs")
    return {model: vintrel.sample(base / model, model=model, events=60, chunks=3)
            for model in ("merrowv3", "zemil16", "ostra96")}


@pytest.mark.parametrize("name, fmt", [("e.png", "png"), ("e.PDF", "pdf"), ("e.svg", "svg")])
def test_the_extension_names_the_format(runs, tmp_path, name, fmt):
    done = vintrel_cli("plot", runs["merrowv3"].path, 3, "-o", tmp_path / name)
    assert done.returncode == 0 and done.stdout == f"{tmp_path / name}\n", done.stderr
    assert (tmp_path / name).read_bytes().startswith(MAGIC[fmt])
    assert (tmp_path / name).stat().st_size > 5000
    page = tmp_path / f"overview.{fmt}"
    plot.overview(runs["zemil16"], page)
    assert page.read_bytes().startswith(MAGIC[fmt])
    if fmt == "svg":
        assert b"<svg" in (tmp_path / name).read_bytes()[:1000]


@pytest.mark.parametrize("model, size", [("merrowv3", (1000, 500)), ("ostra96", (1000, 500))])
def test_event_pictures_are_drawn(runs, tmp_path, model, size):
    done = vintrel_cli("plot", runs[model].path, 0, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == f"{model}_event0.png\n"
    assert png_size(tmp_path / f"{model}_event0.png") == size
    assert colours_in(tmp_path / f"{model}_event0.png") > 50


def test_overview_page_from_the_command_line(runs, tmp_path):
    done = vintrel_cli("plot", runs["ostra96"].path, "--overview", "--pedestals", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == "ostra96_overview.png\n", done.stderr
    assert png_size(tmp_path / "ostra96_overview.png") == (827, 1169)  # A4 at 100 dpi
    assert colours_in(tmp_path / "ostra96_overview.png") > 50


@pytest.mark.parametrize("args, message", [
    (["3", "-o", "{tmp}/e.jpg"], "e.jpg has extension '.jpg': pictures are written as .png, .pdf or .svg"),
    (["3", "-o", "{tmp}/e"], "has no extension"),
    ([], "give an EVENT index, or --overview"),
    (["3", "--overview"], "give an EVENT index, or --overview"),
    (["--overview", "--max-events", "0"], "expected 1 or more"),
])
def test_usage_errors(runs, tmp_path, args, message):
    done = vintrel_cli("plot", runs["merrowv3"].path, *[a.format(tmp=tmp_path) for a in args])
    assert done.returncode == 2 and message in done.stderr
    assert os.listdir(tmp_path) == []


def test_python_refuses_other_formats_before_drawing(runs, tmp_path):
    for call in (lambda: plot.event(runs["merrowv3"], 0, tmp_path / "e.gif"),
                 lambda: plot.overview(runs["merrowv3"], tmp_path / "o.jpeg")):
        with pytest.raises(ValueError, match="pictures are written as .png, .pdf or .svg"):
            call()
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("model, style, lines, image_shape", [
    ("merrowv3", "auto", 4, None),
    ("zemil16", "auto", 16, None),  # 16 channels: still lines, colours from the map
    ("ostra96", "auto", 0, (96, 64)),  # past 16: channel x sample heat map
    ("ostra96", "lines", 96, None),
    ("merrowv3", "heatmap", 0, (4, 512)),
])
def test_channels_are_told_apart(runs, model, style, lines, image_shape):
    fig = plot.event(runs[model], 1, style=style)
    ax = fig.axes[0]
    waveforms = [line for line in ax.get_lines() if line.get_label().startswith("channel ")]
    assert len(waveforms) == lines
    assert len({line.get_color() if isinstance(line.get_color(), str) else tuple(line.get_color())
                for line in waveforms}) == lines
    assert [image.get_array().shape for image in ax.get_images()] == ([image_shape] if image_shape else [])


def test_sample_axes_tick_at_whole_samples(make_acq):
    # Two samples per channel: left alone, the axis would tick at 0.2 steps.
    params = merrowv3.sample_params(channels=2, windows=64, samples=2)
    acq = vintrel.Acquisition(make_acq(params, [merrowv3.encode_windows([[(0, 1, [5, 9]), (1, 1, [7, 3])]])]))
    for style in ("lines", "heatmap"):
        ax = plot.event(acq, 0, style=style).axes[0]
        ticks = [t for t in ax.get_xticks() if ax.get_xlim()[0] <= t <= ax.get_xlim()[1]]
        assert ticks and all(float(t).is_integer() for t in ticks)
    heat = plot.event(acq, 0, style="heatmap").axes[0]
    assert [label.get_text() for label in heat.get_yticklabels() if label.get_text()] == ["0", "1"]


def times_of(root, stamps):
    for name, at in stamps.items():
        os.utime(Path(root) / name, (at, at))
    return plot.chunk_rates(plot.chunk_times(vintrel.Acquisition(root)))


def test_event_rate_per_chunk_from_the_file_times(tmp_path):
    root = vintrel.sample(tmp_path / "run", events=20, chunks=3).path  # 7, 7 and 6 events
    t0 = 1.7e9
    chunks = {f"{n}.{ext}": t0 + at for n, at in enumerate((10, 30, 40)) for ext in ("bin", "idx")}
    starts, ends, rates = times_of(root, {"metadata.yml": t0, **chunks})
    np.testing.assert_allclose(starts, [0, 10, 30])
    np.testing.assert_allclose(ends, [10, 30, 40])
    np.testing.assert_allclose(rates, [0.7, 0.35, 0.6])
    # metadata.yml written after the first chunk: that chunk's span is unknown.
    starts, ends, rates = times_of(root, {"metadata.yml": t0 + 20, **chunks})
    np.testing.assert_allclose(rates, [0.35, 0.6])
    np.testing.assert_allclose(starts, [0, 20])
    # A copy that gave every file the same time: no rate, events per chunk instead.
    assert times_of(root, {name: t0 for name in ("metadata.yml", *chunks)}) is None
    fig = plot.overview(vintrel.Acquisition(root))
    assert any(ax.get_title() == "events per chunk (the file times give no rate)" for ax in fig.axes)


def pulse_event(heights, windows=2, base=100):
    """A merrowv3 event: two channels on a flat baseline, each with one sample
    `height` above (or below, when negative) it."""
    blocks = []
    for k in range(windows):
        blocks.append([(c, k, [base + (h if k == 0 and j == 3 else 0) for j in range(4)])
                       for c, h in enumerate(heights)])
    return merrowv3.encode_windows(blocks)


@pytest.mark.parametrize("negative", [False, True])
def test_pulse_heights_above_the_baseline(make_acq, negative):
    sign = -1 if negative else 1
    params = merrowv3.sample_params(channels=2, windows=9, samples=4)
    # Events of 2 and 3 windows: one shape (dense arrays) or mixed (channel by channel).
    same = [pulse_event([sign * 50, sign * 7]), pulse_event([sign * 20, 0])]
    mixed = same + [pulse_event([sign * 30, sign * 5], windows=3)]
    for events, expected in ((same, [[50, 20], [7, 0]]), (mixed, [[50, 20, 30], [7, 0, 5]])):
        acq = vintrel.Acquisition(make_acq(params, events))
        heights = plot.pulse_heights(acq, range(len(acq)), negative=negative)
        assert heights.channels == [0, 1] and heights.events == len(events) and heights.left_out == 0
        assert [h.tolist() for h in heights.values] == expected
    only = plot.pulse_heights(acq, [2], channels=[1], negative=negative)
    assert only.channels == [1] and only.values[0].tolist() == [5]


@pytest.mark.parametrize("model, histograms, heatmap_rows", [("merrowv3", 4, None), ("zemil16", 16, None),
                                                              ("ostra96", 0, 96)])
def test_overview_draws_every_channel(runs, model, histograms, heatmap_rows):
    fig = plot.overview(runs[model])
    titled = [ax for ax in fig.axes if ax.get_title().startswith("channel ")]
    assert len(titled) == histograms
    assert sum(sum(p.get_height() for p in ax.patches) for ax in titled) == histograms * 60
    images = [image.get_array().shape[0] for ax in fig.axes for image in ax.get_images()]
    assert images == ([heatmap_rows] if heatmap_rows else [])


@pytest.mark.parametrize("count, most, picked", [
    (10, None, list(range(10))), (10, 20, list(range(10))), (10, 3, [0, 4, 9]), (10, 1, [0]), (0, 5, []),
])
def test_overview_spreads_the_events_it_reads(count, most, picked):
    assert list(plot.spread_indices(list(range(count)), most)) == picked


def test_without_matplotlib(runs):
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "import vintrel, vintrel.plot\n"
            "try:\n    vintrel.plot.overview(vintrel.Acquisition(sys.argv[1]))\n"
            "except ImportError as e:\n    print(e)\n")
    done = vintrel_cli(runs["merrowv3"].path, code=code)
    assert done.stdout == "vintrel.plot draws with matplotlib, which is not installed: pip install 'vintrel[plot]'\n"
    cli = vintrel_cli("plot", runs["merrowv3"].path, "--overview",
                      code="import sys; sys.modules['matplotlib'] = None; from vintrel.cli import main; sys.exit(main())")
    assert cli.returncode == 1 and "pip install 'vintrel[plot]'" in cli.stderr


@pytest.mark.parametrize("ext", ["png", "pdf", "svg"])
def test_the_same_picture_gives_the_same_bytes(runs, tmp_path, ext):
    # Pictures kept in version control or compared in a logbook do not change
    # when nothing in them did.
    written = []
    for k in range(2):
        plot.event(runs["merrowv3"], 2, tmp_path / f"{k}.{ext}")
        time.sleep(1.1 * (k == 0))  # a picture dated to the second would differ
        written.append((tmp_path / f"{k}.{ext}").read_bytes())
    assert written[0] == written[1]


@pytest.mark.parametrize("kwargs, error, text", [
    ({"channels": [2, 99]}, ValueError, "event 1 has no samples in channel 99"),
    ({"style": "dots"}, ValueError, "style must be 'auto', 'lines' or 'heatmap'"),
    ({"pedestals": True, "unusable": True}, ValueError, "has no usable pedestals_calibration side file"),
])
def test_event_refusals(runs, tmp_path, kwargs, error, text):
    acq = runs["merrowv3"]
    if kwargs.pop("unusable", False):
        root = vintrel.sample(tmp_path / "bare", events=3).path
        os.remove(Path(root) / "pedestals_calibration")
        acq = vintrel.Acquisition(root)
    with pytest.raises(error, match=text):
        plot.event(acq, 1, tmp_path / "e.png", **kwargs)
    assert not (tmp_path / "e.png").exists()
