"""The demo runs for every board: its sample encoder and parser agree."""

import subprocess
import sys
from pathlib import Path

import pytest

from encoders import MODULES

DEMO = Path(__file__).resolve().parent.parent / "tools" / "demo.py"


@pytest.mark.parametrize("model", sorted(MODULES))
def test_demo_reads_a_sample_acquisition_of_every_board(model):
    result = subprocess.run([sys.executable, str(DEMO), "--model", model, "--events", "4"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"acquisition    sample-{model}" in result.stdout
    assert "events         4" in result.stdout
    assert "parsed event 0\n  channel" in result.stdout
