"""ecc_check on a full six-chip ostra96 block with 300 corrupted words,
against vectorized numpy implementations of the same check, with
RAYON_NUM_THREADS=1 and with the default pool (each in its own process, as
the pool is sized once per process).

    python bench/bench_ecc.py
"""

import json
import os
import random
import subprocess
import sys

import numpy as np

from common import best_of

import vintrel
from encoders import ostra96 as enc

CHIP = 131140
MASKS = [np.uint16(m) for m in (0x055B, 0x0A6D, 0x138E, 0x23F0)]
# Bit of syndrome value S (index S); S = 0 with odd parity reports bit 15.
BITS = np.array([15, 10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15], dtype=np.uint16)
# Byte position of every protected word of a six-chip block, channel by channel.
POSITIONS = np.concatenate([np.arange(c * CHIP + 3 + k * 8196, c * CHIP + 3 + k * 8196 + 8192, 2)
                            for c in range(6) for k in range(16)])


def fold_parity(a):
    a = a ^ (a >> 8)
    a ^= a >> 4
    a ^= a >> 2
    a ^= a >> 1
    return a & 1


def _code_table():
    w = np.arange(65536, dtype=np.uint32).astype(np.uint16)
    s = sum(fold_parity(w & m) << k for k, m in enumerate(MASKS))
    return (s | fold_parity(w) << 4).astype(np.uint8)


CODE = _code_table()  # S | P << 4 of every word


def _words(block):
    data = np.frombuffer(block, dtype=np.uint8)
    n = 16 * (-(-(len(data) - 2) // CHIP)) * 4096
    pos = POSITIONS[:n]
    return pos, data[pos].astype(np.uint16) | data[pos + 1].astype(np.uint16) << 8


def _records(pos, words, idx, s, p):
    w = words[idx]
    bit = BITS[s]
    corrected = np.where(p == 1, w ^ (np.uint16(1) << bit), w)
    return list(zip(((idx % 4096) * 2).tolist(), pos[idx].tolist(), w.tolist(), corrected.tolist(),
                    bit.tolist(), p.tolist()))


def numpy_fold_check(block):
    """The check as specified: masked words, parities by XOR folds."""
    pos, words = _words(block)
    s = fold_parity(words & MASKS[0]) | fold_parity(words & MASKS[1]) << 1 | \
        fold_parity(words & MASKS[2]) << 2 | fold_parity(words & MASKS[3]) << 3
    p = fold_parity(words)
    idx = np.flatnonzero(s | p)
    return _records(pos, words, idx, s[idx], p[idx])


def numpy_table_check(block):
    """A faster numpy variant: one lookup in a 65536-entry table per word."""
    pos, words = _words(block)
    code = CODE[words]
    idx = np.flatnonzero(code)
    c = code[idx]
    return _records(pos, words, idx, c & 15, c >> 4)


def make_block():
    rng = random.Random(2024)
    flips = {}
    while len(flips) < 300:
        flips[(rng.randrange(96), rng.randrange(4096))] = rng.sample(range(16), rng.choice([1, 1, 1, 2]))
    samples = {ch: [rng.randrange(1024) for _ in range(4096)] for ch in range(96)}
    return enc.encode_event(enc.block_params(), samples, flips=flips)


def measure():
    block = make_block()
    ours = vintrel.ecc_check(block)
    assert ours == numpy_fold_check(block) == numpy_table_check(block)
    t_ours = best_of(lambda: vintrel.ecc_check(block), repeat=9, number=50)
    t_fold = best_of(lambda: numpy_fold_check(block), repeat=9, number=5)
    t_table = best_of(lambda: numpy_table_check(block), repeat=9, number=5)
    print(json.dumps({"records": len(ours), "ours": t_ours, "fold": t_fold, "table": t_table}))


def main():
    print(f"ecc_check, six-chip block ({6 * CHIP + 2} bytes), 300 corrupted words; best of 9 rounds, per call")
    for setting in ("1", None):
        env = dict(os.environ)
        env.pop("RAYON_NUM_THREADS", None)
        if setting:
            env["RAYON_NUM_THREADS"] = setting
        out = subprocess.run([sys.executable, __file__, "--measure"], env=env, capture_output=True, text=True,
                             check=True)
        r = json.loads(out.stdout)
        label = f"RAYON_NUM_THREADS={setting}" if setting else f"default pool ({len(os.sched_getaffinity(0))} workers)"
        print(f"{label:<28} vintrel {r['ours'] * 1e6:8.1f} us   numpy folds {r['fold'] * 1e6:8.1f} us "
              f"({r['fold'] / r['ours']:5.1f}x)   numpy table {r['table'] * 1e6:8.1f} us "
              f"({r['table'] / r['ours']:5.1f}x)   records {r['records']}")


if __name__ == "__main__":
    measure() if "--measure" in sys.argv else main()
