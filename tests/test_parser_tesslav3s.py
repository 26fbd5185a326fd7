"""tesslav3s events through Acquisition: round trips, channel counts inferred
from the event length, channel checks, tuning keys and refused parameters."""

import random
import time

import pytest

from encoders import tesslav3s as enc
from parse_helpers import parse, parse_error

be_words = enc.words_to_bytes


def params(channels=2, windows=4, samples=2, **keys):
    return {"model": "tesslav3s", "channels": channels, "windows": windows, "samples": samples, **keys}


@pytest.mark.parametrize("channels,window_count,samples,ring", [
    (4, 8, 64, 9),
    (1, 1, 1, 2),
    (2, 3, 5, 8),
    (3, 5, 2, 256),
])
def test_round_trip(make_acq, channels, window_count, samples, ring):
    rng = random.Random(channels * 100 + window_count)
    p = params(channels, ring, samples)
    labels = enc.random_labels(window_count, ring, rng)
    values = [[[rng.randrange(8192) for _ in range(samples)] for _ in labels] for _ in range(channels)]
    event = parse(make_acq, p, enc.encode_event(values, labels))
    assert event == {**enc.expected(values, labels, p), "timing": None, "ecc_errors": None}


# With samples 2 (blocks of 3 words), channels 2 and windows 4 the lengths
# are: 14 -> c 1; 20 -> c 2 or 1 (two windows); 26 -> c 1; 32, 44 -> c 2.
@pytest.mark.parametrize("blocks_per_window,window_count", [(2, 1), (2, 2), (2, 3)])
def test_lengths_with_two_channels(make_acq, blocks_per_window, window_count):
    windows = [[(c, k, [k, c]) for c in range(blocks_per_window)] for k in range(window_count)]
    event = parse(make_acq, params(), enc.encode_windows(windows))
    assert event["window_labels"] == [list(range(window_count))] * 2


def test_ambiguous_length_reads_one_window_of_two_blocks(make_acq):
    # 20 bytes: one window of two blocks, not two windows of one block.
    raw = enc.encode_windows([[(1, 5, [1, 2]), (0, 7, [3, 4])]])
    assert len(raw) == 20
    event = parse(make_acq, params(), raw)
    assert event["data"] == [[3.0, 4.0], [1.0, 2.0]]
    assert event["window_labels"] == [[7], [5]]


def test_ambiguous_length_takes_widest_window_that_fits(make_acq):
    # Two window header words leave no room for a 2-channel window in 10
    # words (3 + 6 + 2 > 10), so one channel is read: fewer than `channels`.
    raw = enc.encode_windows([[(0, 5, [1, 2]), (1, 7, [3, 4])]])
    assert parse_error(make_acq, params(n_window_headers=2), raw) == "required data missing when parsing"


@pytest.mark.parametrize("raw,message", [
    (b"", "required data missing when parsing"),
    (b"\x00" * 21, "unexpected length of data"),
    (b"\x00" * 18, "unexpected length of data"),
    (enc.encode_windows([[(0, 0, [1, 2])]]), "required data missing when parsing"),  # 14 bytes: c = 1
    (enc.encode_windows([[(1, 0, [1, 2])]]), "invalid channel number"),  # 14 bytes naming channel 1
    (enc.encode_windows([[(0, 0, [1, 2])]] * 3), "required data missing when parsing"),  # 26 bytes
    (enc.encode_windows([[(0, 0, [1, 2]), (2, 5, [1, 2])]]), "invalid channel number"),
    (enc.encode_windows([[(0, 0, [1, 2]), (1, 5, [1, 2])]] * 4), "unexpected length of data"),  # windows 4
])
def test_failures(make_acq, raw, message):
    assert parse_error(make_acq, params(), raw) == message


@pytest.mark.parametrize("p", [params(windows=1), params(windows=0), params(channels=0)])
def test_empty_length_table(make_acq, p):
    raw = enc.encode_windows([[(0, 0, [1, 2])]])
    assert parse_error(make_acq, p, raw) == "unexpected length of data"


@pytest.mark.parametrize("keys,word,value", [
    ({}, 0xFFFF, 8191.0),
    ({"datamask": 0xFFFF, "n_last_bits": 4}, 0xFFFF, 4095.0),
    ({"datamask": 0x1000F}, 0xFFFF, 15.0),
    ({"n_last_bits": 20}, 0x00F0, 15.0),  # shift taken modulo 16
    ({"datamask": -1, "n_last_bits": "3"}, 0xFFFF, 8191.0),
])
def test_sample_keys(make_acq, keys, word, value):
    raw = be_words([0, 0, 0, enc.block_header(0, 0), word, 0])
    assert parse(make_acq, params(channels=1, samples=1, **keys), raw)["data"] == [[value]]


def test_window_footers_count_in_length_but_not_in_stride(make_acq):
    # n_channel_headers 2: blocks of 3 words, the second header word read as
    # a sample. One window footer word per window enters the length,
    # 2 * (3 + 1 + 2 * (3 + 1)) = 24 bytes for two windows of one channel,
    # but windows are read c * L + n_window_headers = 3 words apart, so the
    # first footer word starts the second window and the last 2 body words
    # are left over.
    p = params(channels=1, samples=1, n_channel_headers=2, n_window_footers=1)
    raw = be_words([0, 0, 0, enc.block_header(0, 1), 7, 8, enc.block_header(0, 3), 2, 9, 10, 0xBBBB, 0])
    event = parse(make_acq, p, raw)
    assert event["data"] == [[7.0, 8.0, 2.0, 9.0]]
    assert event["window_labels"] == [[1, 3]] and event["time"] == [[0, 2]]


@pytest.mark.parametrize("p,message", [
    (params(channels=2 ** 64 - 1), "required data missing when parsing"),
    (params(windows=2 ** 64 - 1), None),
    (params(samples=2 ** 64 - 1), "unexpected length of data"),
    (params(2 ** 64 - 1, 2 ** 64 - 1, 2 ** 64 - 1), "unexpected length of data"),
    (params(n_event_headers=2 ** 64 - 1), "unexpected length of data"),
    (params(n_window_footers=2 ** 64 - 1), "unexpected length of data"),
    (params(n_window_headers=2 ** 64 - 1), "unexpected length of data"),  # no candidate fits
    (params(samples=0, n_channel_headers=0), "provided parameters are invalid"),  # blocks of zero words
])
def test_absurd_metadata_fails_fast(make_acq, p, message):
    raw = enc.encode_windows([[(0, 3, [1, 2]), (1, 3, [3, 4])]])
    start = time.perf_counter()
    if message is None:
        event = parse(make_acq, p, raw)
        assert len(event["data"]) == 2
    else:
        assert parse_error(make_acq, p, raw) == message
    assert time.perf_counter() - start < 1.0


def test_huge_event_with_one_word_blocks(make_acq):
    # samples 0: blocks are a lone header word, so the channel count can be
    # as large as the event; the record is sized by it, not by `channels`.
    words = 70_000
    p = params(channels=2 ** 40, windows=2, samples=0)
    raw = be_words([0, 0, 0] + [enc.block_header(0, 1)] * words + [0])
    assert parse_error(make_acq, p, raw) == "provided parameters are invalid"
