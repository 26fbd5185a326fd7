"""The ostra96 block check and correction: which regions are examined, the
order of the records, block sizes the layout does not fit, argument types and
what ecc_correct writes."""

import array
import random

import numpy as np
import pytest

import vintrel
from encoders import ostra96 as enc

CHIP = 131140
FULL = 6 * CHIP + 2
MASKS = np.array([0x055B, 0x0A6D, 0x138E, 0x23F0], dtype=np.uint16)
TABLE = np.array([15, 10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15], dtype=np.uint8)  # index S; S = 0 -> 15


def parity(a):
    a = a ^ a >> 8
    a ^= a >> 4
    a ^= a >> 2
    a ^= a >> 1
    return a & 1


def reference_check(block):
    """Independent check of every word of every channel region, as records."""
    data = np.frombuffer(bytes(block), dtype=np.uint8)
    chips = -(-(len(data) - 2) // CHIP)
    records = []
    for i in range(16 * chips):
        start = (i // 16) * CHIP + 3 + (i % 16) * 8196
        words = data[start:start + 8192].view("<u2").astype(np.uint16)
        s = sum(parity(words & m).astype(np.uint8) << k for k, m in enumerate(MASKS))
        p = parity(words).astype(np.uint8)
        for j in np.nonzero((s != 0) | (p != 0))[0]:
            w, bit, c = int(words[j]), int(TABLE[s[j]]), int(p[j])
            records.append((2 * int(j), start + 2 * int(j), w, w ^ (1 << bit) if c else w, bit, c))
    return records


@pytest.fixture(scope="module")
def corrupted_block():
    """A full six-chip block with 300 corrupted words: single, double and
    parity-only errors, spread over every channel."""
    rng = random.Random(5)
    params = enc.block_params()
    flips = {}
    while len(flips) < 300:
        kind = rng.choice(["single", "double", "parity"])
        # Any two bits but 14 and 15 together, which the code cannot see.
        bits = {"single": [rng.randrange(14)], "double": [rng.randrange(14), rng.randrange(14, 16)],
                "parity": [rng.choice([14, 15])]}[kind]
        if kind == "double" and rng.randrange(2):
            bits = rng.sample(range(14), 2)
        flips[(rng.randrange(96), rng.randrange(4096))] = bits
    samples = {ch: [rng.randrange(1024) for _ in range(4096)] for ch in range(96)}
    return enc.encode_event(params, samples, flips=flips), flips


def test_full_block_records_every_corrupted_word_in_channel_then_offset_order(corrupted_block):
    block, flips = corrupted_block
    records = vintrel.ecc_check(block)
    assert records == reference_check(block)
    expected = sorted(flips)
    got = [(((r[1] // CHIP) * 16 + (r[1] % CHIP - 3) // 8196), r[0] // 2) for r in records]
    assert got == expected
    assert all(r[5] == (len(flips[key]) == 1) for r, key in zip(records, expected))


def test_every_possible_word_is_judged_like_the_reference():
    # Chip 0's 16 regions hold 65536 words: every 16-bit value once, shuffled
    # so that sound and failing words share groups in every pattern.
    words = list(range(65536))
    random.Random(4).shuffle(words)
    block = bytearray(CHIP + 2)
    for k in range(16):
        start = 3 + k * 8196
        block[start:start + 8192] = np.array(words[k * 4096:(k + 1) * 4096], dtype="<u2").tobytes()
    records = vintrel.ecc_check(block)
    assert records == reference_check(block)
    assert len(records) == 65536 - 2048  # the code has 2^11 sound words


def test_random_bytes_match_the_reference():
    rng = random.Random(11)
    block = bytes(rng.randrange(256) for _ in range(2 * CHIP + 2))
    assert vintrel.ecc_check(block) == reference_check(block)


@pytest.mark.parametrize("size, channels", [(2, 0), (CHIP + 2, 16), (CHIP - 5, 16), (2 * CHIP + 2, 32), (FULL, 96)])
def test_sizes_that_fit_examine_16_channels_per_chip(size, channels):
    # Every word fails the check (0x0001), headers and footers included, but
    # only the words of the regions are examined.
    block = (b"\x01\x00" * (size // 2 + 1))[:size]
    assert len(vintrel.ecc_check(block)) == channels * 4096


@pytest.mark.parametrize("size, message", [
    (0, "shorter than"), (1, "shorter than"),
    (3, "ends inside"), (CHIP - 6, "ends inside"), (CHIP + 3, "ends inside"), (2 * CHIP - 6, "ends inside"),
    (FULL + 1, "more than six chips"), (7 * CHIP + 2, "more than six chips"),
])
def test_sizes_the_layout_does_not_fit_are_refused(size, message):
    for fn in (vintrel.ecc_check, vintrel.ecc_correct):
        with pytest.raises(ValueError, match=message):
            fn(bytes(size))


@pytest.mark.parametrize("convert", [
    bytes, bytearray, list, tuple, memoryview, lambda b: array.array("B", b),
    lambda b: np.frombuffer(b, dtype=np.uint8),
    lambda b: np.repeat(np.frombuffer(b, dtype=np.uint8), 2)[::2],  # strided: read item by item
])
def test_accepted_byte_sequences_give_the_same_result(corrupted_block, convert):
    block = corrupted_block[0][:CHIP + 2]
    expected = reference_check(block)
    assert vintrel.ecc_check(convert(block)) == expected
    assert vintrel.ecc_correct(convert(block)) == vintrel.ecc_correct(block)


@pytest.mark.parametrize("value, error", [
    ("\0\0", TypeError), ("x" * (CHIP + 2), TypeError), (None, TypeError), (5, TypeError),
    ([0, 256], OverflowError), ([0, -1], OverflowError), ([0, 1.0], TypeError), ([0, "a"], TypeError),
])
def test_raw_bytes_conversion_errors(value, error):
    for fn in (vintrel.ecc_check, vintrel.ecc_correct):
        with pytest.raises(error) as info:
            fn(value)
        if error is TypeError:
            assert str(info.value).startswith("argument 'raw_bytes': ")


def test_correct_changes_exactly_the_correctable_words_and_leaves_the_input_alone(corrupted_block):
    block = bytearray(corrupted_block[0])
    before = bytes(block)
    records = vintrel.ecc_check(block)
    fixed = vintrel.ecc_correct(block)
    assert type(fixed) is bytearray and fixed is not block and bytes(block) == before
    changed = {i for i in range(len(block)) if fixed[i] != block[i]}
    expected = set()
    for _, position, word, corrected, _, correctable in records:
        if correctable:
            assert fixed[position:position + 2] == corrected.to_bytes(2, "little")
            expected |= {i for i in (position, position + 1) if (word ^ corrected) >> 8 * (i - position) & 0xFF}
    assert changed == expected
    # What is left after correction is exactly the uncorrectable words.
    assert vintrel.ecc_check(fixed) == [r for r in records if not r[5]]


def test_two_byte_block():
    assert vintrel.ecc_check(b"\xff\xff") == []
    assert vintrel.ecc_correct(bytearray(b"\xff\xff")) == bytearray(b"\xff\xff")
