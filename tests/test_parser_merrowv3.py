"""merrowv3 events through Acquisition: round trips, layouts inferred from
the packet length, channel checks, tuning keys and refused parameters."""

import random
import time

import pytest

from encoders import merrowv3 as enc
from parse_helpers import parse, parse_error

be_words = enc.words_to_bytes


def params(channels=4, windows=8, samples=64, **keys):
    return {"model": "merrowv3", "channels": channels, "windows": windows, "samples": samples, **keys}


@pytest.mark.parametrize("channels,window_count,samples,ring", [
    (4, 8, 64, 9),
    (1, 1, 1, 2),
    (2, 3, 5, 8),
    (3, 6, 2, 7),
    (4, 2, 100, 512),
])
def test_round_trip(make_acq, channels, window_count, samples, ring):
    rng = random.Random(channels * 100 + window_count)
    p = params(channels, ring, samples)
    labels = enc.random_labels(window_count, ring, rng)
    values = [[[rng.randrange(4096) for _ in range(samples)] for _ in labels] for _ in range(channels)]
    event = parse(make_acq, p, enc.encode_event(values, labels))
    assert event == {**enc.expected(values, labels, p), "timing": None, "ecc_errors": None}


def test_single_window_packet_ignores_window_header(make_acq):
    # 530 bytes = 8 + 2 * (4 * 65 + 1): 4 channels, 1 window; its last body
    # word (the window header) is not read even if it looks like a block.
    values = [[[c * 10 + s for s in range(64)]] for c in range(4)]
    raw = bytearray(enc.encode_event(values, [3]))
    assert len(raw) == 530
    raw[-4:-2] = (0x3C00).to_bytes(2, "big")  # window header naming channel 15
    event = parse(make_acq, params(), bytes(raw))
    assert event["data"] == [[float(c * 10 + s) for s in range(64)] for c in range(4)]
    assert event["window_labels"] == [[3]] * 4


def ambiguous_packet():
    """26 bytes with S = 1: 4 channels x 1 window, or 1 channel x 3 windows."""
    words = [0xA000, 0xA001, 0xA002]
    for c in range(4):
        words += [enc.channel_header(c, 2 + c), (10 + c) << 1]
    words += [0x0000, 0xF00F]  # window header, footer
    return be_words(words)


def test_ambiguous_length_takes_most_channels(make_acq):
    event = parse(make_acq, params(4, 4, 1), ambiguous_packet())
    assert event["data"] == [[10.0], [11.0], [12.0], [13.0]]
    assert event["window_labels"] == [[2], [3], [4], [5]]


def test_ambiguous_length_takes_widest_window_that_fits(make_acq):
    # Seven event header words leave no room for a 4-channel window
    # (2 * 9 + 14 > 26), so the 1-channel layout (2 * 3 + 14 <= 26) is read:
    # body words 7..11, one window of three words, one block.
    event = parse(make_acq, params(4, 4, 1, n_event_headers=7), ambiguous_packet())
    assert event["data"] == [[], [], [12.0], []]
    assert event["window_labels"] == [[], [], [4], []]


def test_ambiguous_length_shorter_than_event_header(make_acq):
    assert parse_error(make_acq, params(4, 4, 1, n_event_headers=14), ambiguous_packet()) == \
        "unexpected length of data"


@pytest.mark.parametrize("p,raw,message", [
    (params(), b"", "required data missing when parsing"),
    (params(), b"\x00" * 531, "unexpected length of data"),
    (params(), b"\x00" * 534, "unexpected length of data"),
    (params(windows=1), enc.encode_event([[[0] * 64]] * 4, [0]), "unexpected length of data"),
    (params(windows=0), enc.encode_event([[[0] * 64]] * 4, [0]), "unexpected length of data"),
    # Wn windows: the lengths run only to Wn - 1 windows.
    (params(windows=2), enc.encode_event([[[0] * 64] * 2] * 4, [0, 1]), "unexpected length of data"),
    (params(channels=0), enc.encode_event([[[0] * 64]] * 4, [0]), "unexpected length of data"),
], ids=["empty", "odd", "no-layout", "one-window-ring", "no-windows", "wn-windows", "no-channels"])
def test_length_failures(make_acq, p, raw, message):
    assert parse_error(make_acq, p, raw) == message


@pytest.mark.parametrize("bad_window", [0, 2])
def test_channel_beyond_channels_fails_whole_packet(make_acq, bad_window):
    values = [[[1, 2]] * 3 for _ in range(3)]
    windows = [[(c, k, values[c][k]) for c in range(3)] for k in range(3)]
    windows[bad_window][1] = (3, bad_window, [1, 2])
    raw = enc.encode_windows(windows)
    assert parse_error(make_acq, params(3, 8, 2), raw) == "invalid channel number"


def test_channels_met_in_any_order_and_number(make_acq):
    # Blocks naming channels 2, 0, 2, 0: channels 1 and 3 stay empty, and a
    # channel met twice per window gets both blocks in packet order.
    windows = [[(2, k, [k, 1]), (0, k, [k, 2]), (2, k, [k, 3]), (0, k, [k, 4])] for k in range(2)]
    event = parse(make_acq, params(4, 4, 2), enc.encode_windows(windows))
    assert event["data"] == [[0, 2, 0, 4, 1, 2, 1, 4], [], [0, 1, 0, 3, 1, 1, 1, 3], []]
    assert event["window_labels"] == [[0, 0, 1, 1], [], [0, 0, 1, 1], []]
    assert event["time"][1] == [] and event["time"][3] == []
    assert event["time"][0] == [0, 1, 0, 1, 2, 3, 2, 3]


def test_wrapped_labels_continue_time(make_acq):
    labels = [6, 7, 0, 1]
    raw = enc.encode_event([[[0, 0]] * 4], labels)
    event = parse(make_acq, params(1, 8, 2), raw)
    assert event["window_labels"] == [labels] and event["time"] == [list(range(8))]


def sample_word_packet(word):
    return be_words([0, 0, 0, enc.channel_header(0, 0), word, 0, 0])


@pytest.mark.parametrize("keys,word,value", [
    ({}, 0x3FFF, 4095.0),
    ({}, 0xFFFF, 4095.0),
    ({"datamask": 0xFFFF, "n_last_bits": 0}, 0xFFFF, 65535.0),
    ({"n_last_bits": 17}, 0x0004, 2.0),  # shifts are taken modulo 16
    ({"datamask": 70000}, 0xFFFF, float(70000 % 65536 >> 1)),  # low 16 bits of a mask
    ({"datamask": "0x0F"}, 0x3FFF, 4095.0),  # a string is ignored
    ({"datamask": -1}, 0x3FFF, 4095.0),
    ({"datamask": 15.0}, 0x3FFF, 4095.0),
    ({"n_last_bits": 2 ** 64}, 0x0004, 2.0),  # a count beyond 64 bits takes the default
])
def test_sample_value_keys(make_acq, keys, word, value):
    event = parse(make_acq, params(1, 2, 1, **keys), sample_word_packet(word))
    assert event["data"] == [[value]]


def test_custom_channel_bits(make_acq):
    # Channel in bits 12-13, label in bits 0-3 unshifted.
    keys = {"chanmask": 0x3000, "chan_shift": 12, "windmask": 0x000F, "n_last_bits": 0, "datamask": 0xFF}
    raw = be_words([0, 0, 0, 0x2005, 0x1234, 0x0000, 0])
    event = parse(make_acq, params(3, 2, 1, **keys), raw)
    assert event["data"] == [[], [], [0x34]] and event["window_labels"] == [[], [], [5]]


@pytest.mark.parametrize("keys,message", [
    ({"n_footer_words": 0}, "provided parameters are invalid"),
    ({"n_event_headers": 2 ** 64 - 1}, "unexpected length of data"),
    ({"n_footer_words": 2 ** 64 - 1}, "unexpected length of data"),
    ({"n_event_headers": 260}, "unexpected length of data"),  # first window's headers past the body
    ({"samples": 0, "n_channel_headers": 0}, "provided parameters are invalid"),  # blocks of zero words
    # One candidate, so no fit check: a window longer than the body is never read.
    ({"n_window_headers": 2 ** 64 - 1}, None),
])
def test_framing_keys_beyond_the_packet(make_acq, keys, message):
    raw = enc.encode_event([[[0x0FFF] * 64] for _ in range(4)], [0])
    if message is None:
        assert parse(make_acq, params(**keys), raw)["data"] == [[]] * 4
    else:
        assert parse_error(make_acq, params(**keys), raw) == message


@pytest.mark.parametrize("p,message", [
    (params(channels=2 ** 64 - 1), "provided parameters are invalid"),
    (params(channels=65537), "provided parameters are invalid"),
    (params(windows=2 ** 64 - 1), None),
    (params(samples=2 ** 64 - 1), "unexpected length of data"),
    (params(samples=2 ** 63, n_channel_headers=2 ** 63), "unexpected length of data"),
    (params(2 ** 64 - 1, 2 ** 64 - 1, 2 ** 64 - 2), "unexpected length of data"),
])
def test_absurd_metadata_fails_fast(make_acq, p, message):
    raw = enc.encode_event([[[0] * 64] for _ in range(4)], [0])
    start = time.perf_counter()
    if message is None:
        assert parse(make_acq, p, raw)["window_labels"] == [[0]] * 4
    else:
        assert parse_error(make_acq, p, raw) == message
    assert time.perf_counter() - start < 1.0


def test_large_event_with_many_layout_candidates(make_acq):
    # S = 0 with one channel header word: every block is one word. A length
    # with many divisors yields many candidates; the largest channel count
    # whose window fits wins.
    p = params(channels=1000, windows=1000, samples=0)
    # (n - 8) / 2 = 720 = w * (c + 1): c = 719 (w = 1) is the widest and
    # fits; its window of 720 one-word blocks includes the window header word.
    event = parse(make_acq, p, be_words([0] * 3 + [enc.channel_header(0, 1)] * 720 + [0]))
    assert len(event["data"]) == 1000
    assert event["window_labels"][0] == [1] * 720 and event["data"][0] == []
