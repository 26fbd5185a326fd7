"""The demo runs for every board: its sample encoder and parser agree."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

from encoders import MODULES

DEMO = Path(__file__).resolve().parent.parent / "tools" / "demo.py"


@pytest.mark.parametrize("model", sorted(MODULES))
def test_demo_reads_a_sample_acquisition_of_every_board(model, tmp_path):
    # One board draws its event (when matplotlib is there); drawing is the same for all.
    plot = ["--plot", str(tmp_path / "event.png")] if model == "merrowv3" else ["--no-plot"]
    result = subprocess.run([sys.executable, str(DEMO), "--model", model, "--events", "4", *plot],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"acquisition    sample-{model}" in result.stdout
    assert "events         4" in result.stdout
    assert "parsed event 0\n  channel" in result.stdout
    if model == "merrowv3" and importlib.util.find_spec("matplotlib"):
        assert f"plot of event 0 written to {tmp_path / 'event.png'}" in result.stdout
        assert (tmp_path / "event.png").stat().st_size > 1000


def test_demo_keeps_its_sample_when_asked(tmp_path):
    keep = tmp_path / "kept"
    result = subprocess.run([sys.executable, str(DEMO), "--events", "5", "--no-plot", "--keep", str(keep)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "acquisition    kept" in result.stdout and result.stdout.endswith(f"sample kept in {keep}\n")
    import vintrel
    assert len(vintrel.Acquisition(keep)) == 5 and vintrel.Acquisition(keep).pedestals_calibration is not None
    again = subprocess.run([sys.executable, str(DEMO), "--no-plot", "--keep", str(keep)], capture_output=True,
                           text=True, timeout=120)
    assert again.returncode == 2 and "not a new or empty directory" in again.stderr
