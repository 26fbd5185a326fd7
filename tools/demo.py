"""Demo: writes a sample acquisition of one board (vintrel.sample), then
opens it with vintrel and shows what it holds, and draws its first event when
matplotlib is installed. The sample is removed afterwards unless --keep names
the directory to leave it in.

    python tools/demo.py [--model NAME] [--events N] [--keep DIR] [--plot FILE.png | --no-plot]
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
import tempfile
from pathlib import Path

import vintrel
from vintrel._sample.boards import models

DEFAULT_PLOT_DIR = Path(__file__).resolve().parent.parent / "build" / "demo"


def make_sample(root: Path, model: str, events: int) -> vintrel.Acquisition:
    return vintrel.sample(root, model=model, events=events, chunks=max(1, min(3, events)), seed=7)


def show_parsed(event: dict, samples: int) -> None:
    for channel, data in enumerate(event["data"]):
        if not data:
            continue
        labels = event["window_labels"][channel]
        print(f"  channel {channel}: {len(data)} samples, windows {labels[:8]}{' ...' if len(labels) > 8 else ''}, "
              f"first samples {data[:min(samples, 6)]}")


def show_arrays(acq) -> None:
    arrays = acq.arrays()
    print(f"\narrays()       {len(arrays)} events read ({len(arrays.errors)} left out): flat data "
          f"{arrays.data.dtype} {arrays.data.shape} over {len(arrays.data_offsets) - 1} channels")
    try:
        dense = arrays.to_numpy()
    except ValueError as error:  # events of different shapes
        print(f"to_numpy()     {error}")
        return
    print(f"to_numpy()     data {dense['data'].dtype} {dense['data'].shape} (events, channels, samples)")


def show_export(acq, out_dir: Path) -> None:
    export = getattr(vintrel, "export_csv")
    for correction in (False, True):
        target = out_dir / ("corrected" if correction else "raw")
        target.mkdir()
        try:
            export(acq, range(min(len(acq), 3)), target, correction)
        except NotImplementedError:
            print("CSV export is not available in this build")
            return
        first = sorted(target.iterdir())[0]
        lines = first.read_text().splitlines()
        print(f"\nexport_csv(pedestals_correction={correction}) -> {first.name}, first lines:")
        for line in lines[:4]:
            print("  " + (line if len(line) < 160 else line[:157] + "..."))


def show_plot(acq, out: Path) -> None:
    if importlib.util.find_spec("matplotlib") is None:
        print("\nplot           needs matplotlib: pip install 'vintrel[plot]'")
        return
    out.parent.mkdir(parents=True, exist_ok=True)
    vintrel.plot.event(acq, 0, out)
    print(f"\nplot of event 0 written to {out}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", default="merrowv3", choices=models())
    parser.add_argument("--events", type=int, default=10)
    parser.add_argument("--keep", type=Path, metavar="DIR",
                        help="write the sample into DIR (new or empty) and leave it there")
    parser.add_argument("--plot", type=Path, help="picture of event 0 (default: build/demo/<name>_event0.png)")
    parser.add_argument("--no-plot", action="store_true", help="draw no picture")
    args = parser.parse_args()

    if args.keep is not None and args.keep.exists() and (not args.keep.is_dir() or any(args.keep.iterdir())):
        parser.error(f"--keep {args.keep}: not a new or empty directory")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        acq = make_sample(args.keep or tmp / f"sample-{args.model}", args.model, args.events)
        print(f"acquisition    {acq.name}")
        print(f"chunks         {acq.chunk_count}")
        print(f"events         {len(acq)}")
        print(f"params         {acq.params}")
        raw = acq.raw_event(0)
        print(f"raw event 0    {len(raw['rawdata'])} bytes: {raw['rawdata'][:24].hex(' ')} ...")
        try:
            event = acq[0]
        except Exception as error:  # a board whose parser refuses the sample
            print(f"parsed event 0 failed: {error}")
            return 1
        print("parsed event 0")
        show_parsed(event, int(acq.params["samples"]))
        if acq.pedestals_calibration is not None:
            print("pedestals      present")
        show_arrays(acq)
        show_export(acq, tmp)
        if not args.no_plot:
            show_plot(acq, args.plot or DEFAULT_PLOT_DIR / f"{acq.name}_event0.png")
    if args.keep is not None:
        print(f"\nsample kept in {args.keep}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
