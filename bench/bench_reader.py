"""Raw event access: Acquisition.raw_event(i) against a pure-Python
open/seek/read/close of the same bytes, and len(acq) for 1 and 64 chunks.

    python bench/bench_reader.py
"""

import struct
import tempfile
from pathlib import Path

from common import side_by_side

import acqwriter
import vintrel

PARAMS = {"model": "merrowv3", "channels": 4, "windows": 9, "samples": 64}


def python_raw_event(root: Path, i: int) -> bytes:
    """What a Python user would write: read the index entry, then the event."""
    with open(root / "0.idx", "rb") as index:
        index.seek(8 * i)
        offset, length = struct.unpack("<II", index.read(8))
    with open(root / "0.bin", "rb") as data:
        data.seek(offset)
        return data.read(length)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        events = [bytes([i % 256]) * 4178 for i in range(1000)]
        one = acqwriter.write_acquisition(tmp / "one", PARAMS, events)
        many = acqwriter.write_acquisition(tmp / "many", PARAMS, events[:640], chunk_size=10)
        acq_one, acq_many = vintrel.Acquisition(one), vintrel.Acquisition(many)
        assert acq_one.raw_event(500)["rawdata"] == python_raw_event(one, 500)
        assert acq_many.chunk_count == 64

        print("Raw event access (best of 7 rounds, per call)")
        side_by_side("raw_event(500) vs Python open/seek/read/close", lambda: acq_one.raw_event(500),
                     lambda: python_raw_event(one, 500), number=2000)
        side_by_side("len(acq), 1 chunk vs raw_event(500)", lambda: len(acq_one), lambda: acq_one.raw_event(500),
                     number=2000)
        side_by_side("len(acq), 64 chunks vs 1 chunk", lambda: len(acq_many), lambda: len(acq_one), number=300)


if __name__ == "__main__":
    main()
