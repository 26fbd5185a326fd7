import signal
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import acqwriter  # noqa: E402

# Tests that send SIGINT expect Python's own handler. A runner started in the
# background of a non-interactive shell has SIGINT ignored, Python then keeps
# it ignored, and so would every child; the handler is put back here.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def make_acq(tmp_path):
    """Builds an acquisition directory under tmp_path and returns its path."""
    counter = iter(range(1_000_000))

    def make(params, events=(), name=None, **kwargs):
        root = tmp_path / (name or f"acq{next(counter)}")
        return acqwriter.write_acquisition(root, params, events, **kwargs)

    return make
