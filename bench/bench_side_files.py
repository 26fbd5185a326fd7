"""Side-file decoding: the property (gzip, then the decoder of
vintrel._safe_pickle) against gzip.decompress + pickle.loads of the same
file, for a pedestal table of nested lists, a dict of numpy arrays and a
list of numpy scalars; then the time the decoder takes to refuse each of the
hostile files of the tests (pickle.loads is not run on those).

    python bench/bench_side_files.py
"""

import gzip
import pickle
import random
import sys
import tempfile
from pathlib import Path

import numpy as np
from common import best_of, side_by_side

import acqwriter
import vintrel
from vintrel._safe_pickle import loads

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from pickle_asm import HOSTILE  # noqa: E402

PARAMS = {"model": "merrowv3", "channels": 16, "windows": 512, "samples": 64}
rng = random.Random(1)
SAMPLES = {
    "pedestal table, 16 x 512 x 64 floats in lists": {
        "data": [[[rng.uniform(0, 4096) for _ in range(64)] for _ in range(512)] for _ in range(16)]},
    "dict of 16 float32 arrays of 512 x 64": {f"ch{c}": np.random.default_rng(c).random((512, 64), np.float32)
                                               for c in range(16)},
    "list of 10,000 numpy float64 scalars": [np.float64(x) for x in range(10_000)],
}


def main():
    with tempfile.TemporaryDirectory() as tmp:
        root = acqwriter.write_acquisition(Path(tmp) / "acq", PARAMS)
        acq = vintrel.Acquisition(root)
        path = root / "pedestals_calibration"
        print("Side-file decoding (best of 7 rounds, per call)")
        for label, value in SAMPLES.items():
            acqwriter.write_side_file(root, "pedestals_calibration", value, protocol=pickle.HIGHEST_PROTOCOL)
            assert pickle.dumps(acq.pedestals_calibration) == pickle.dumps(value)
            side_by_side(label, lambda: acq.pedestals_calibration,
                         lambda: pickle.loads(gzip.decompress(path.read_bytes())), number=3)
    print("Refusing the hostile files (best of 3 rounds)")
    slowest = max((best_of(lambda: refuse(data), 3), name, len(data)) for name, (data, _) in HOSTILE.items())
    print(f"{len(HOSTILE)} files, slowest {slowest[1]} ({slowest[2]} bytes): {slowest[0] * 1e3:.1f} ms")


def refuse(data):
    try:
        loads(data)
    except pickle.UnpicklingError:
        return
    raise AssertionError("a hostile file decoded")


if __name__ == "__main__":
    main()
