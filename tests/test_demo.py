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
