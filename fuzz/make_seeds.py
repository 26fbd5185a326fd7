#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses: make_seeds.py OUT_DIR.

Parser seeds are valid events from the sample-data encoders (tools/encoders),
prefixed with their parameters in the harness's input layout (see
fuzz_input.hpp and parser_harness.hpp); the other harnesses get metadata
files, pedestal pickles of every protocol, CSV records and ECC blocks.
"""

from __future__ import annotations

import gzip
import pickle
import random
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

try:
    import yaml  # noqa: E402
except ImportError:  # seeds of flat mappings need no YAML library
    yaml = None

# Harness -> (model string, free keys in the harness's order). Keep in step
# with the parser_*.cpp files.
PARSERS = {
    "parser_merrowv3": ("merrowv3", ["n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask",
                                     "n_event_headers", "n_window_headers", "n_footer_words", "n_last_bits"]),
    "parser_tesslav3": ("tesslav3", ["databitmask", "chanmask", "chan_shift", "windmask", "n_event_headers",
                                     "n_window_headers", "n_footers", "n_last_bits"]),
    "parser_fennikv2": ("fennikv2", ["databitmask", "chanmask", "chan_shift", "windmask", "n_event_headers",
                                     "n_window_headers", "n_footers", "n_last_bits"]),
    "parser_tesslav3s": ("tesslav3s", ["n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask",
                                       "n_event_headers", "n_footer_words", "n_window_headers", "n_window_footers",
                                       "n_last_bits"]),
    "parser_pikorv1": ("pikorv1_evalr2", ["chanmask", "abs_wind_mask", "timing_mask", "timing_shift", "packet_size",
                                          "headers", "stop_word"]),
    "parser_fennikoc": ("fennikoc_fennik", ["num_chips", "databitmask", "chanmask", "chan_shift", "windmask",
                                            "chip_stop_word", "n_chip_headers", "n_window_headers"]),
    "parser_zemil16": ("zemil16", ["data_mask", "chanmask", "chan_shift", "windmask", "n_chip_headers",
                                   "n_chip_footers", "n_window_headers", "n_window_footers"]),
    "parser_ostra96": ("ostra96", ["num_chips", "n_chip_headers", "n_chip_footers", "n_window_headers",
                                   "n_window_footers", "data_mask", "chanmask", "chan_shift", "windmask",
                                   "n_event_footers"]),
    "parser_grenvikv1": ("grenvik", ["n_window_headers", "n_event_headers", "n_footer_words"]),
}
TEXT_KEYS = {"stop_word"}
MAX_SEED = 1 << 20


def number(n: int) -> bytes:
    """A number in the harness encoding (fuzz_input.hpp)."""
    n &= (1 << 64) - 1
    if n < 0xF0:
        return bytes([n])
    if n < 1 << 16:
        return b"\xf0" + struct.pack("<H", n)
    if n < 1 << 32:
        return b"\xf1" + struct.pack("<I", n)
    return b"\xf2" + struct.pack("<Q", n)


def text(s: str) -> bytes:
    raw = s.encode()[:255]
    return bytes([len(raw)]) + raw


def parser_prefix(params: dict, keys: list[str]) -> bytes:
    out = number(params["channels"]) + number(params["windows"]) + number(params["samples"])
    mask = 0
    values = b""
    for bit, key in enumerate(keys):
        value = params.get(key)
        if key in TEXT_KEYS and isinstance(value, str):
            mask |= 1 << bit
            values += text(value)
        elif isinstance(value, int) and not isinstance(value, bool) and value >= 0:
            mask |= 1 << bit
            values += number(value)
    return out + struct.pack("<H", mask) + values


def encoder(model: str):
    try:
        from encoders import encoder_for
        module = encoder_for(model)
    except (ImportError, KeyError):
        return None
    if not hasattr(module, "sample_params") or not hasattr(module, "sample_event"):
        return None
    return module


def parser_seeds(model: str, keys: list[str], rng: random.Random) -> list[bytes]:
    module = encoder(model)
    seeds = []
    if module is not None:
        for overrides in ({}, {"channels": 1}, {"channels": 2, "windows": 4, "samples": 4},
                          {"channels": 4, "windows": 8, "samples": 8}):
            try:
                params = dict(module.sample_params(**overrides))
                params["model"] = model
                event = module.sample_event(params, rng)
            except Exception:  # an override the board cannot take
                continue
            seed = parser_prefix(params, keys) + bytes(event)
            if len(seed) <= MAX_SEED:
                seeds.append(seed)
    # Without an encoder, or besides it: small parameters and a few raw events.
    plain = {"channels": 4, "windows": 8, "samples": 4}
    for length in (0, 1, 8, 28, 66, 530):
        seeds.append(parser_prefix(plain, keys) + bytes(rng.randrange(256) for _ in range(length)))
    return seeds


def metadata_seeds() -> list[bytes]:
    seeds = []
    for harness, (model, keys) in PARSERS.items():
        module = encoder(model)
        params = dict(module.sample_params()) if module else {"model": model, "channels": 4, "windows": 8,
                                                                 "samples": 64}
        params["model"] = model
        if yaml is not None:
            doc = {"params": params, "registers": {"r0": 1, "r1": [1, 2]}}
            seeds.append(yaml.safe_dump(doc, sort_keys=False).encode())
        else:
            flat = ", ".join(f"{k}: {v}" for k, v in params.items())
            seeds.append(f"params: {{{flat}}}\nregisters: {{r0: 1, r1: [1, 2]}}\n".encode())
    seeds += [
        b"params: {model: merrowv3, channels: 0x10, windows: 0o10, samples: 1_024, chanmask: !!int '3072'}\n"
        b"registers: {}\n",
        b"params: {model: m, channels: 18446744073709551615, windows: 1:30, samples: 0b101}\nregisters: {a: &x [1]}\n"
        b"other: *x\n",
        b"params: &p {model: x, channels: -1}\nregisters: *p\n",
        b"b: &b {model: m, channels: 1, windows: 2}\nparams: {<<: [*b, {samples: 3, &k w: 1}], <<: {*k : 2}, "
        b"channels: ! '1:99'}\nregisters: &r {self: *r, <<: *b}\n",
        b"params: {model: m, channels: !!int ' \xef\xbc\x91_6 ', windows: !!int '-0x-5', samples: ! \"16\\n\"}\n"
        b"registers: {a: 2001-12-14, b: !!binary 'FACE'}\n",
        b"- not a mapping\n",
        b"",
    ]
    return seeds


def pedestal_seeds() -> list[bytes]:
    table = [[[float(c + w + s) for s in range(4)] for w in range(2)] for c in range(3)]
    mixed = [[[1, 2.5, 3, -4] for _ in range(2)] for _ in range(2)]
    shapes = [{"data": table, "note": "x"}, [mixed, "tail"], (table,), None, {"data": [[[10 ** 30]]]}, [], 7]
    seeds = []
    for protocol in range(6):
        for shape in shapes:
            raw = pickle.dumps(shape, protocol=protocol)
            seeds.append(b"\x01" + raw)                  # the harness gzips it
            seeds.append(b"\x00" + gzip.compress(raw))  # a whole file
    return seeds


def csv_seeds(rng: random.Random) -> list[bytes]:
    seeds = []
    for timing in (0, 1):
        for samples in (0, 1, 2, 4):
            body = bytes(rng.randrange(256) for _ in range(600))
            seeds.append(bytes([timing]) + number(samples) + body)
    return seeds


def ecc_seeds(rng: random.Random) -> list[bytes]:
    chip = 131140
    fills = [b"\x00\x00", bytes(rng.randrange(256) for _ in range(64)), b"\x01\x00\x00\x40\x03\x00"]
    return [number(length) + fill for length in (0, 1, 2, 3, chip + 2, chip + 1, 2 * chip + 2, 6 * chip + 2,
                                                 6 * chip + 3, 7 * chip + 2) for fill in fills]


def growing_buffer_seeds() -> list[bytes]:
    # Operations (op byte, then a number): 0 extend, 1 reserve, 2 shrink to fit, 3 move out and back,
    # 4 join a part filled apart.
    extend, reserve, shrink, move, join = (lambda n: bytes([0]) + number(n)), (lambda n: bytes([1]) + number(n)), \
        b"\x02\x00", b"\x03\x00", (lambda n: bytes([4]) + number(n))
    return [
        extend(100) + extend(5000) + shrink + move,
        extend(70000) + shrink + extend(10) + move,  # onto a mapping, then past its pages
        reserve(70000) + extend(10) + shrink + extend(5000),  # a mapping shrunk below the threshold, grown again
        extend(3 << 20) + shrink + reserve(1 << 22) + extend(1),
        extend(70001) + join(200000) + shrink + move + extend(10),  # pages handed over mid-page
        extend(100) + join(5000) + join(100000) + extend(10),  # copied on the heap, then pages onto a new mapping
    ]


def parquet_pages_seeds() -> list[bytes]:
    # encoding, three definition levels, page bytes, then each offsets array
    # (stepped flag, count, for stepped ones a start and the steps), then values.
    def stepped(start: int, steps: list[int]) -> bytes:
        return b"\x01" + number(len(steps)) + number(start) + b"".join(number(s) for s in steps)

    events = stepped(0, [2, 0, 3, 1])  # offsets 2, 2, 5, 6: three events, the first without lists
    lists = stepped(0, [4, 0, 2, 4, 1, 3, 0])  # offsets 4, 4, 6, ...: empty lists among them
    return [
        b"\x01\x01\x03\x05" + number(8) + events + lists + bytes(range(64)),
        b"\x00\x00\x01\x02" + number(0) + events + lists + bytes(range(32)),
        b"\x01\x01\x03\x05" + number(4000) + b"\x00" + number(3) + number(0) + number(1) + number(5) + lists,
    ]


def main() -> int:
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "seeds")
    rng = random.Random(7)
    corpora = {name: parser_seeds(model, keys, rng) for name, (model, keys) in PARSERS.items()}
    corpora["metadata"] = metadata_seeds()
    corpora["pedestals"] = pedestal_seeds()
    corpora["csv_writer"] = csv_seeds(rng)
    corpora["ecc_block"] = ecc_seeds(rng)
    corpora["growing_buffer"] = growing_buffer_seeds()
    corpora["parquet_pages"] = parquet_pages_seeds()
    for name, seeds in corpora.items():
        directory = out / name
        directory.mkdir(parents=True, exist_ok=True)
        for i, seed in enumerate(seeds):
            (directory / f"seed-{i:03d}").write_bytes(seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
