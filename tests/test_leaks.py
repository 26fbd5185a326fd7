"""Every Python entry point, on its success and failure paths, called many
times: Python allocations (tracemalloc), resident memory and open file
descriptors must stay flat, and the arguments' reference counts unchanged."""

import gc
import os
import random
import sys
import tracemalloc
from pathlib import Path

import pytest

import acqwriter
import vintrel
from encoders import merrowv3, pikorv1

CALLS = 10_000
WARMUP = 1_000
# Under AddressSanitizer freed memory sits in quarantine, so RSS is no measure.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
RSS_SLACK = 2 << 20          # allocator noise over 10,000 calls
TRACED_SLACK_BLOCKS = 200    # a leaked object every 50 calls exceeds this

PARAMS = merrowv3.sample_params(channels=2, windows=4, samples=8)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    base = tmp_path_factory.mktemp("leaks")
    rng = random.Random(5)
    events = [merrowv3.sample_event(PARAMS, rng) for _ in range(6)] + [b"\x01\x02\x03"]  # last one unparsable
    table = [[[1.0] * PARAMS["samples"] for _ in range(PARAMS["windows"])] for _ in range(PARAMS["channels"])]
    root = acqwriter.write_acquisition(base / "acq", PARAMS, events, chunk_size=3,
                                       side_files={"pedestals_calibration": {"data": table}})
    (root / "timing_calibration").write_bytes(b"not gzip")
    pik_params = pikorv1.sample_params(channels=2)
    pik = acqwriter.write_acquisition(base / "other" / "pik", pik_params, [pikorv1.sample_event(pik_params, rng)])
    bad_meta = base / "bad_meta"
    bad_meta.mkdir()
    (bad_meta / "metadata.yml").write_text("params: {model: merrowv3}\nregisters: {}\n")
    out = base / "out"
    out.mkdir()
    block = bytearray(131142)
    for k in range(0, 8192, 40):
        block[3 + k] = 1           # single-bit errors: correctable
        block[3 + 8196 + k] = 3    # double-bit errors: detected only
    return {
        "root": root, "acq": vintrel.Acquisition(root), "pik": vintrel.Acquisition(pik),
        "bad_meta": bad_meta, "out": out, "missing": base / "missing", "block": bytes(block),
        "indices": list(range(8)), "parent": base,
    }


def expect(exc, call):
    def run(w):
        try:
            call(w)
        except exc:
            return
        raise AssertionError(f"{exc.__name__} not raised")
    return run


def named(name):
    """An exception type of the module, matched by its qualified name."""
    def run_with(call):
        def run(w):
            try:
                call(w)
            except Exception as e:  # noqa: BLE001
                assert f"{type(e).__module__}.{type(e).__name__}" == name, repr(e)
                return
            raise AssertionError(f"{name} not raised")
        return run
    return run_with


def next_until_end(w):
    it = iter(w["acq"])
    for _ in it:
        pass


ENTRY_POINTS = {
    # Acquisition and its members
    "open": lambda w: vintrel.Acquisition(w["root"]),
    "open_path_object": lambda w: vintrel.Acquisition(Path(w["root"])),
    "open_missing": expect(FileNotFoundError, lambda w: vintrel.Acquisition(w["missing"])),
    "open_bad_metadata": named("acquisition.MetadataError")(lambda w: vintrel.Acquisition(w["bad_meta"])),
    "open_bad_type": expect(TypeError, lambda w: vintrel.Acquisition(3)),
    "properties": lambda w: (w["acq"].is_valid, w["acq"].path, w["acq"].name, w["acq"].chunk_count,
                             w["acq"].metadata, w["acq"].params),
    "side_files": lambda w: (w["acq"].pedestals_calibration, w["acq"].readout_metadata,
                             w["acq"].adc_to_mv_calibration),
    "side_file_corrupt": expect(Exception, lambda w: w["acq"].timing_calibration),
    "len": lambda w: len(w["acq"]),
    "raw_event": lambda w: w["acq"].raw_event(4),
    "raw_event_out_of_bounds": expect(IndexError, lambda w: w["acq"].raw_event(99)),
    "parsed_event": lambda w: w["acq"].parsed_event(4),
    "parsed_event_timing": lambda w: w["pik"].parsed_event(0),
    "parsed_event_unparsable": named("acquisition.ParsingError")(lambda w: w["acq"].parsed_event(6)),
    "parsed_event_bad_index": expect(TypeError, lambda w: w["acq"].parsed_event("0")),
    "subscript": lambda w: w["acq"][5],
    "subscript_slice": lambda w: w["acq"][1:5:2],
    "subscript_out_of_bounds": expect(IndexError, lambda w: w["acq"][99]),
    "subscript_bad_type": expect(TypeError, lambda w: w["acq"][1.5]),
    "iteration": next_until_end,
    # Module functions
    "is_acquisition": lambda w: (vintrel.is_acquisition(w["root"]), vintrel.is_acquisition(w["missing"])),
    "is_acquisition_bad_type": expect(TypeError, lambda w: vintrel.is_acquisition(None)),
    "list_acquisitions": lambda w: vintrel.list_acquisitions(w["parent"] / "other"),
    "list_acquisitions_missing": lambda w: vintrel.list_acquisitions(w["missing"]),
    "export": lambda w: vintrel.export_csv(w["acq"], w["indices"], w["out"], True),
    "export_empty": lambda w: vintrel.export_csv(w["acq"], [], w["out"], False),
    "export_missing_dir": named("acquisition.ExportError")(
        lambda w: vintrel.export_csv(w["acq"], w["indices"], w["missing"], False)),
    "export_bad_indices": expect(TypeError, lambda w: vintrel.export_csv(w["acq"], "012", w["out"], False)),
    "export_negative_index": expect(OverflowError, lambda w: vintrel.export_csv(w["acq"], [1, -1], w["out"], False)),
    "syndrome": lambda w: (vintrel.syndrome(0x1234), vintrel.global_parity(0x8001)),
    "syndrome_out_of_range": expect(OverflowError, lambda w: vintrel.syndrome(1 << 16)),
    "syndrome_to_index": lambda w: (vintrel.syndrome_to_index([1, 1, 0, 0]), vintrel.syndrome_to_index((0, 0, 0, 0))),
    "syndrome_to_index_bad_length": expect(ValueError, lambda w: vintrel.syndrome_to_index([1, 1, 0])),
    "ecc_check": lambda w: vintrel.ecc_check(w["block"]),
    "ecc_check_list": lambda w: vintrel.ecc_check([0, 0]),
    "ecc_check_too_short": expect(ValueError, lambda w: vintrel.ecc_check(b"\x00")),
    "ecc_check_str": expect(TypeError, lambda w: vintrel.ecc_check("ab")),
    "ecc_correct": lambda w: vintrel.ecc_correct(w["block"]),
}


def measure(call, world, calls):
    """Live Python blocks, RSS and open descriptors gained over `calls` calls
    after a traced warm-up (one-time growth such as caches, free lists and
    the allocator's arena table happens there, not in the measured calls)."""
    tracemalloc.start()
    for _ in range(WARMUP):
        call(world)
    gc.collect()
    traced_before = tracemalloc.take_snapshot()
    rss_before, fds_before = rss(), open_fds()
    for _ in range(calls):
        call(world)
    gc.collect()
    traced_after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = traced_after.compare_to(traced_before, "filename")
    return sum(stat.count_diff for stat in grown), grown[:3], rss() - rss_before, open_fds() - fds_before


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_entry_point_is_flat(world, name):
    call = ENTRY_POINTS[name]
    held = [world["acq"], world["indices"], world["block"], world["out"]]
    refs = [sys.getrefcount(o) for o in held]
    # A leaked object per call adds CALLS of them on every try, while threads
    # other tests left in this process (a tqdm monitor, a scheduler's
    # heartbeat) may allocate during one: the quietest of three tries counts.
    tries = []
    for _ in range(3):
        blocks, top, rss_grown, fds_grown = measure(call, world, CALLS)
        tries.append((blocks, top, rss_grown))
        assert fds_grown == 0, "descriptors leak"
        if blocks < TRACED_SLACK_BLOCKS and (ASAN or rss_grown < RSS_SLACK):
            break
    blocks, top, rss_grown = min(tries, key=lambda t: t[0])
    assert blocks < TRACED_SLACK_BLOCKS, f"{blocks} more live Python blocks: {top}"
    if not ASAN:
        assert min(t[2] for t in tries) < RSS_SLACK, f"RSS grew by {rss_grown} bytes"
    assert [sys.getrefcount(o) for o in held] == refs, "an argument's reference count changed"
