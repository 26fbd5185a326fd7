"""tesslav3 and fennikv2 events through Acquisition: round trips, round-robin
windows, length checks, tuning keys and refused parameters."""

import random
import time

import pytest

from encoders import tesslav3 as enc
from parse_helpers import parse, parse_error

be_words = enc.words_to_bytes


def params(channels=4, windows=8, samples=4, model="tesslav3", **keys):
    return {"model": model, "channels": channels, "windows": windows, "samples": samples, **keys}


@pytest.mark.parametrize("model", ["tesslav3", "fennikv2"])
@pytest.mark.parametrize("channels,window_count,samples,present", [
    (4, 8, 64, [0, 1, 2, 3]),
    (1, 1, 1, [0]),
    (4, 3, 5, [1, 3]),
    (3, 5, 2, [2]),
    (4, 0, 7, []),
])
def test_round_trip(make_acq, model, channels, window_count, samples, present):
    rng = random.Random(window_count * 10 + samples)
    p = params(channels, 8, samples, model=model)
    channel_windows = {c: [(label, [rng.randrange(4096) for _ in range(samples)])
                           for label in enc.random_labels(window_count, 8, rng)] for c in present}
    event = parse(make_acq, p, enc.encode_event(channel_windows))
    assert event == {**enc.expected(channel_windows, p), "timing": None, "ecc_errors": None}


def test_windows_go_round_robin_whatever_their_channel_bits(make_acq):
    # Channels present 0 and 1; four windows naming 1, 0, 0, 1: channel 0
    # takes windows 0 and 2, channel 1 windows 1 and 3.
    windows = [(1, 10, [1] * 4), (0, 11, [2] * 4), (0, 12, [3] * 4), (1, 13, [4] * 4)]
    event = parse(make_acq, params(), enc.encode_windows(windows))
    assert event["data"][:2] == [[1.0] * 4 + [3.0] * 4, [2.0] * 4 + [4.0] * 4]
    assert event["window_labels"] == [[10, 12], [11, 13], [], []]


def test_channels_present_sorted_ascending(make_acq):
    windows = [(3, 1, [5] * 4), (1, 2, [6] * 4)]
    event = parse(make_acq, params(), enc.encode_windows(windows))
    assert event["data"] == [[], [5.0] * 4, [], [6.0] * 4]
    assert event["window_labels"] == [[], [1], [], [2]]


def test_unequal_share_of_windows(make_acq):
    # Three windows, two channels: the first channel gets windows 0 and 2.
    windows = [(0, 0, [1] * 4), (1, 0, [2] * 4), (0, 1, [3] * 4)]
    event = parse(make_acq, params(), enc.encode_windows(windows))
    assert event["window_labels"][:2] == [[0, 1], [0]]
    assert event["time"][:2] == [list(range(8)), list(range(4))]


@pytest.mark.parametrize("p,raw,message", [
    (params(), b"", "required data missing when parsing"),
    (params(), b"\x00" * 29, "unexpected length of data"),
    (params(), b"\x00" * 26, "unexpected length of data"),  # one word short of two windows
    (params(), b"\x00" * 12, "unexpected length of data"),
    # (1 - 0 - 1) % 5 == 0 passes the first check, but two bytes hold no header.
    (params(n_event_headers=0), b"\x12\x34", "unexpected length of data"),
    # samples 0 and no window header: windows of zero words.
    (params(samples=0, n_window_headers=0), b"\x00" * 8, "provided parameters are invalid"),
])
def test_length_failures(make_acq, p, raw, message):
    assert parse_error(make_acq, p, raw) == message


def test_header_and_footer_only(make_acq):
    assert parse(make_acq, params(), be_words([1, 2, 3, 4]))["data"] == [[]] * 4


def test_channel_beyond_channels(make_acq):
    windows = [(0, 0, [1] * 4), (3, 0, [1] * 4)]
    assert parse_error(make_acq, params(channels=3), enc.encode_windows(windows)) == "invalid channel number"


@pytest.mark.parametrize("keys,header,word,channel,label,value", [
    ({}, 0x0403, 0x1FFF, 2, 1, 4095.0),
    ({}, 0x0403, 0xE001, 2, 1, 0.0),
    ({"n_last_bits": 0, "databitmask": 0xFFFF}, 0x0403, 0xE001, 2, 0x0003 & 0x1FE, 0xE001),
    ({"chanmask": 0x0003, "chan_shift": 16, "windmask": 0xFF00}, 0x7F01, 0x0002, 1, 0x7F00 >> 1, 1.0),
    ({"databitmask": 0x1000F}, 0x0000, 0xFFFF, 0, 0, 7.0),  # low 16 bits of a mask
    ({"databitmask": "15", "n_last_bits": -3}, 0x0000, 0x1FFF, 0, 0, 4095.0),  # defaults
])
def test_word_decoding_keys(make_acq, keys, header, word, channel, label, value):
    event = parse(make_acq, params(samples=1, **keys), be_words([0, 0, 0, header, word, 0]))
    assert event["data"][channel] == [value]
    assert event["window_labels"][channel] == [label]


def test_extra_window_header_words_are_read_as_samples(make_acq):
    # n_window_headers = 2: windows of 6 words whose 5 words after the header
    # are all samples, while the time axis counts 4 per window. The first
    # length check still uses windows of samples + 1 words: 9 words pass it
    # ((9 - 4) % 5 == 0) and, with n_footers = 1, hold one window of 6.
    p = params(samples=4, n_window_headers=2, n_footers=1)
    event = parse(make_acq, p, be_words([0, 0, 0, enc.window_header(1, 3), 2, 4, 6, 8, 10]))
    assert event["data"][1] == [1.0, 2.0, 3.0, 4.0, 5.0]
    assert event["window_labels"][1] == [3] and event["time"][1] == [0, 1, 2, 3]


@pytest.mark.parametrize("keys,message", [
    ({"n_footers": 0}, "provided parameters are invalid"),
    ({"n_window_headers": 2 ** 64 - 4}, "provided parameters are invalid"),  # row overflows
    ({"n_footers": 2 ** 64 - 1}, "unexpected length of data"),
    ({"n_footers": 20}, "unexpected length of data"),  # more footer words than the event holds
    ({"n_window_headers": 0}, "unexpected length of data"),  # 10 words not a multiple of rows of 4
])
def test_framing_keys(make_acq, keys, message):
    raw = enc.encode_windows([(0, 0, [1] * 4), (1, 0, [1] * 4)])
    assert parse_error(make_acq, params(**keys), raw) == message


@pytest.mark.parametrize("p,message", [
    (params(samples=2 ** 64 - 1), "provided parameters are invalid"),
    (params(channels=2 ** 64 - 1), "provided parameters are invalid"),
    (params(channels=65537), "provided parameters are invalid"),
    (params(windows=2 ** 64 - 1), None),
    (params(samples=2 ** 63), "unexpected length of data"),
])
def test_absurd_metadata_fails_fast(make_acq, p, message):
    raw = enc.encode_windows([(0, 0, [1] * 4), (1, 0, [1] * 4)])
    start = time.perf_counter()
    if message is None:
        assert parse(make_acq, p, raw)["window_labels"] == [[0], [0], [], []]
    else:
        assert parse_error(make_acq, p, raw) == message
    assert time.perf_counter() - start < 1.0


def test_fennikv2_reads_as_tesslav3(make_acq):
    rng = random.Random(7)
    for _ in range(10):
        p = enc.sample_params(samples=rng.randrange(1, 9), channels=rng.randrange(1, 5))
        raw = enc.sample_event(p, rng, window_count=rng.randrange(0, 4))
        if rng.random() < 0.5:
            raw = raw[:rng.randrange(len(raw) + 1)]
        outcomes = []
        for model in ("tesslav3", "fennikv2"):
            try:
                outcomes.append(parse(make_acq, {**p, "model": model}, raw))
            except Exception as e:  # noqa: BLE001 - the messages must agree too
                outcomes.append((type(e).__qualname__, str(e)))
        assert outcomes[0] == outcomes[1]
