import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import acqwriter  # noqa: E402


@pytest.fixture
def make_acq(tmp_path):
    """Builds an acquisition directory under tmp_path and returns its path."""
    counter = iter(range(1_000_000))

    def make(params, events=(), name=None, **kwargs):
        root = tmp_path / (name or f"acq{next(counter)}")
        return acqwriter.write_acquisition(root, params, events, **kwargs)

    return make
