"""Raw event access: Acquisition.raw_event(i) against a pure-Python
open/seek/read/close of the same bytes; and random access to the last event
of the same 640 events stored in 1, 64 and 640 chunks, timed side by side.

    python bench/bench_reader.py
"""

import random
import struct
import tempfile
import time
from pathlib import Path

from common import side_by_side

import acqwriter
import vintrel
from encoders import merrowv3

PARAMS = merrowv3.sample_params()
EVENTS = 640


def python_raw_event(root: Path, i: int) -> bytes:
    """What a Python user would write: read the index entry, then the event."""
    with open(root / "0.idx", "rb") as index:
        index.seek(8 * i)
        offset, length = struct.unpack("<II", index.read(8))
    with open(root / "0.bin", "rb") as data:
        data.seek(offset)
        return data.read(length)


def random_access(acqs, number):
    """The last event (and the count) on each chunking, against one chunk."""
    one, last = acqs[1], EVENTS - 1
    calls = {
        "raw_event(last)": lambda acq: acq.raw_event(last),
        "acq[last]": lambda acq: acq[last],
        "parsed_event(last)": lambda acq: acq.parsed_event(last),
        "len(acq)": len,
    }
    for name, call in calls.items():
        for chunks, acq in acqs.items():
            if chunks != 1:
                side_by_side(f"{name}, {chunks} vs 1 chunk", lambda: call(acq), lambda: call(one),
                             number=number)


def main():
    rng = random.Random(0)
    events = [merrowv3.sample_event(PARAMS, rng) for _ in range(EVENTS)]
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        acqs = {}
        for chunks in (1, 64, 640):
            root = acqwriter.write_acquisition(tmp / f"c{chunks}", PARAMS, events, chunk_size=EVENTS // chunks)
            acqs[chunks] = vintrel.Acquisition(root)
            assert acqs[chunks].chunk_count == chunks
        # What the reader remembers is trusted once the directory's times are
        # older than the scan that recorded it.
        time.sleep(0.1)
        one = acqs[1]
        assert one.raw_event(500)["rawdata"] == python_raw_event(one_root := tmp / "c1", 500)

        print("Raw event access (best of 7 rounds, per call)")
        side_by_side("raw_event(500) vs Python open/seek/read/close", lambda: one.raw_event(500),
                     lambda: python_raw_event(one_root, 500), number=2000)
        side_by_side("len(acq), 1 chunk vs raw_event(500)", lambda: len(one), lambda: one.raw_event(500),
                     number=2000)
        print(f"\nRandom access to the last of {EVENTS} events (best of 7 rounds, per call)")
        random_access(acqs, number=500)


if __name__ == "__main__":
    main()
