"""Summarises the acquisitions in a directory: events, the first parsed event,
the ECC findings of ostra96 events, and optionally a CSV export.

    python examples/typed_usage.py DIR [--csv OUT_DIR]

DIR is one acquisition or a directory holding several. The file is also what
CI type-checks with `mypy --strict` against the installed package.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import vintrel


def channel_means(acq: vintrel.Acquisition, index: int) -> dict[int, float]:
    event = acq[index]
    return {channel: sum(samples) / len(samples) for channel, samples in enumerate(event["data"]) if samples}


def ecc_findings(acq: vintrel.Acquisition, count: int) -> int:
    findings = 0
    for event in acq[0:count]:
        per_channel = event["ecc_errors"]
        if per_channel is not None:
            findings += sum(len(records) for records in per_channel)
    return findings


def describe(acq: vintrel.Acquisition) -> list[str]:
    events = len(acq)
    model = acq.params.get("model", "?")
    lines = [f"{acq.name}: {model}, {events} events in {acq.chunk_count} chunks"]
    if events == 0:
        return lines
    raw = acq.raw_event(0)
    lines.append(f"  event 0: {len(raw['rawdata'])} bytes")
    for channel, mean in sorted(channel_means(acq, 0).items())[:4]:
        lines.append(f"  channel {channel}: mean {mean:.2f}")
    lines.append(f"  ECC records in the first events: {ecc_findings(acq, min(events, 10))}")
    return lines


def open_all(root: Path) -> list[vintrel.Acquisition]:
    if vintrel.is_acquisition(root):
        return [vintrel.Acquisition(root)]
    return vintrel.list_acquisitions(root)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("root", type=Path)
    parser.add_argument("--csv", type=Path, help="export every event to CSV files here")
    args = parser.parse_args()
    print(f"vintrel {vintrel.__version__}")
    for acq in open_all(args.root):
        try:
            print("\n".join(describe(acq)))
            if args.csv is not None:
                out: Path = args.csv / acq.name
                out.mkdir(parents=True, exist_ok=True)
                vintrel.export_csv(acq, range(len(acq)), out, acq.pedestals_calibration is not None)
        except vintrel.PanicException as panic:  # an internal failure: report it and go on
            print(f"{acq.path}: internal failure: {panic}")
        except Exception as error:  # reading, metadata, parsing and export errors
            print(f"{acq.path}: {type(error).__name__}: {error}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
