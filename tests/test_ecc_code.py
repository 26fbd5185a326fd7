"""The ostra96 per-word code through the module's functions: syndrome,
overall parity, the syndrome-to-bit table, and single and double errors as
the block check sees them."""

import random

import pytest

import vintrel
from encoders import ostra96 as enc

# The word bits each syndrome bit covers, written out bit by bit (not as masks)
# so that the reference does not share the implementation's constants.
SYNDROME_BITS = ([0, 1, 3, 4, 6, 8, 10], [0, 2, 3, 5, 6, 9, 11], [1, 2, 3, 7, 8, 9, 12], [4, 5, 6, 7, 8, 9, 13])
TABLE = [10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15]
CHIP = 131140


def reference_syndrome(word):
    return [sum(word >> b & 1 for b in bits) & 1 for bits in SYNDROME_BITS]


def sound_words(n, seed=0):
    rng = random.Random(seed)
    return [enc.code_word(rng.randrange(1024), rng.randrange(2)) for _ in range(n)]


def one_chip_block(words):
    """A one-chip block whose 16 channel regions hold `words` (65536 of them)."""
    block = bytearray(CHIP + 2)
    for k in range(16):
        start = 3 + k * 8196
        for j, w in enumerate(words[k * 4096:(k + 1) * 4096]):
            block[start + 2 * j:start + 2 * j + 2] = w.to_bytes(2, "little")
    return block


def test_syndrome_and_parity_match_the_bit_lists_for_every_word():
    for word in range(65536):
        assert vintrel.syndrome(word) == reference_syndrome(word)
        assert vintrel.global_parity(word) == bin(word).count("1") % 2


@pytest.mark.parametrize("word, syndrome, parity", [
    (0x0001, [1, 1, 0, 0], 1),
    (0x0000, [0, 0, 0, 0], 0),
    (0x4000, [0, 0, 0, 0], 1),
    (0x8000, [0, 0, 0, 0], 1),
    (0xFFFF, [1, 1, 1, 1], 0),
])
def test_known_words(word, syndrome, parity):
    assert vintrel.syndrome(word) == syndrome
    assert vintrel.global_parity(data=word) == parity


@pytest.mark.parametrize("s, index", [
    ([1, 1, 0, 0], 0),
    ([0, 0, 0, 0], None),
    ([0, 0, 0, 2], None),        # S = 16
    ([1, 1, 1, 1], 15),
    ([2, 0, 0, 0], 11),          # elements above 1 still weigh 1, 2, 4, 8
    ([255, 255, 255, 255], None),
    ((1, 0, 1, 0), 1),
    (b"\x00\x00\x00\x01", 13),
])
def test_syndrome_to_index(s, index):
    assert vintrel.syndrome_to_index(s) == index


def test_table_covers_syndromes_1_to_15_in_order():
    got = [vintrel.syndrome_to_index([s & 1, s >> 1 & 1, s >> 2 & 1, s >> 3 & 1]) for s in range(1, 16)]
    assert got == TABLE


def test_single_flips_are_named_by_the_per_word_functions():
    for word in sound_words(300):
        assert vintrel.syndrome(word) == [0, 0, 0, 0] and vintrel.global_parity(word) == 0
        for bit in range(14):
            bad = word ^ 1 << bit
            assert vintrel.global_parity(bad) == 1
            assert vintrel.syndrome_to_index(vintrel.syndrome(bad)) == bit


def test_every_single_flip_of_bits_0_to_13_is_corrected():
    words = sound_words(65536, seed=1)
    flipped = [w ^ 1 << (i % 14) for i, w in enumerate(words)]
    block = one_chip_block(flipped)
    records = vintrel.ecc_check(block)
    assert len(records) == 65536
    for i, (offset, position, word, corrected, bit, correctable) in enumerate(records):
        assert (word, corrected, bit, correctable) == (flipped[i], words[i], i % 14, 1)
        assert position == 3 + (i // 4096) * 8196 + offset and offset == 2 * (i % 4096)
    assert vintrel.ecc_correct(block) == one_chip_block(words)


def test_every_double_flip_is_detected_and_left_alone():
    pairs = [(a, b) for a in range(14) for b in range(a + 1, 14)]
    pairs += [(a, 14) for a in range(14)] + [(a, 15) for a in range(14)]
    words = sound_words(65536, seed=2)
    flipped = [w ^ 1 << pairs[i % len(pairs)][0] ^ 1 << pairs[i % len(pairs)][1] for i, w in enumerate(words)]
    block = one_chip_block(flipped)
    records = vintrel.ecc_check(block)
    assert len(records) == 65536
    for i, (_, _, word, corrected, bit, correctable) in enumerate(records):
        assert word == corrected == flipped[i] and correctable == 0
        assert bit == TABLE[sum(b << k for k, b in enumerate(reference_syndrome(word))) - 1]
    assert vintrel.ecc_correct(block) == block


@pytest.mark.parametrize("flip", [14, 15])
def test_parity_only_error_keeps_bits_0_to_13_and_passes_the_check_after_correction(flip):
    word = enc.code_word(0x155, 1) ^ 1 << flip
    block = one_chip_block([word] + [enc.code_word(0)] * 65535)
    [(offset, position, read, corrected, bit, correctable)] = vintrel.ecc_check(block)
    assert (offset, position, read, correctable, bit) == (0, 3, word, 1, 15)
    assert corrected & 0x3FFF == word & 0x3FFF and corrected == word ^ 0x8000
    assert vintrel.ecc_check(vintrel.ecc_correct(block)) == []


@pytest.mark.parametrize("fn", [vintrel.syndrome, vintrel.global_parity])
@pytest.mark.parametrize("value, error", [
    (-1, OverflowError), (65536, OverflowError), (2**70, OverflowError),
    (1.0, TypeError), ("1", TypeError), (None, TypeError),
])
def test_word_argument_conversion(fn, value, error):
    with pytest.raises(error) as info:
        fn(value)
    if error is TypeError:
        assert str(info.value).startswith("argument 'data': ")


@pytest.mark.parametrize("s, error", [
    ([1, 1, 0], ValueError), ([0] * 5, ValueError), ([], ValueError),
    ([1, 1, 1, 256], OverflowError), ([1, 1, 1, -1], OverflowError),
    ([1, 1, 1, 1.0], TypeError), ("abcd", TypeError), (5, TypeError), ({0: 1}, TypeError),
])
def test_syndrome_argument_conversion(s, error):
    with pytest.raises(error) as info:
        vintrel.syndrome_to_index(s)
    if error is TypeError:
        assert str(info.value).startswith("argument 's': ")


def test_arguments_by_keyword_and_their_names():
    assert vintrel.syndrome(data=1) == [1, 1, 0, 0]
    assert vintrel.syndrome_to_index(s=[1, 1, 0, 0]) == 0
    assert vintrel.ecc_check(raw_bytes=b"\0\0") == []
    with pytest.raises(TypeError):
        vintrel.syndrome(word=1)
    with pytest.raises(TypeError):
        vintrel.ecc_correct()


def test_registration_order_and_docstrings():
    names = ["syndrome", "global_parity", "syndrome_to_index", "ecc_check", "ecc_correct"]
    assert vintrel.__all__[-5:] == names
    assert [getattr(vintrel, n).__text_signature__ for n in names] == [
        "(data)", "(data)", "(s)", "(raw_bytes)", "(raw_bytes)"]
    assert vintrel.syndrome.__doc__.startswith("Calculate the syndrome for a given 16-bit data word.")
    assert vintrel.global_parity.__doc__.startswith("Calculate the global parity for a 16-bit data word.")
    assert vintrel.syndrome_to_index.__doc__.startswith("Convert a syndrome to an index based on the corrections.")
    for doc in (vintrel.syndrome.__doc__, vintrel.global_parity.__doc__):
        assert "# Arguments" in doc and "# Returns" in doc
    assert "# Arguments" in vintrel.syndrome_to_index.__doc__
    assert not vintrel.ecc_check.__doc__ and not vintrel.ecc_correct.__doc__
