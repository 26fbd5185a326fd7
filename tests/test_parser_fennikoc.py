"""fennikoc events: chip records split at the chip stop word, windows mapped
to channels through the chip number, and the time axis from window labels."""

import random

import pytest

import vintrel
from encoders import encoder_for
from encoders import fennikoc as enc
from parse_helpers import parse, parse_error

MODELS = ["fennikoc_fennik", "fennikoc_tessla"]


def params(channels=8, windows=8, samples=4, **keys):
    return {"model": "fennikoc_fennik", "channels": channels, "windows": windows, "samples": samples, **keys}


def samples_for(channel, label, n=4):
    return [(channel * 331 + label * 17 + k) % 0x1000 for k in range(n)]


def time_axis(labels, windows, samples):
    first = labels[0]
    rel = [(l - first) if l >= first else (l + windows - first) for l in labels]
    return [(r * samples + k) % 65536 for r in rel for k in range(samples)]


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("channels,num_chips,windows,samples,first", [
    (8, 2, 8, 4, 5),     # labels wrap round the ring of 8
    (4, 1, 3, 16, 0),
    (12, 3, 64, 2, 63),
    (2, 2, 1, 1, 0),
])
def test_round_trip(make_acq, model, channels, num_chips, windows, samples, first):
    per_chip = channels // num_chips
    labels = [(first + w) % windows for w in range(windows)]
    chips = [enc.encode_chip(chip, [(c, l, samples_for(chip * per_chip + c, l, samples))
                                    for l in labels for c in range(per_chip)]) for chip in range(num_chips)]
    p = params(channels, windows, samples, num_chips=num_chips, model=model)
    e = parse(make_acq, p, enc.encode_event(chips))
    assert e["timing"] is None and e["ecc_errors"] is None
    for ch in range(channels):
        assert e["window_labels"][ch] == labels
        assert e["data"][ch] == [float(s) for l in labels for s in samples_for(ch, l, samples)]
        assert e["time"][ch] == time_axis(labels, windows, samples)


def test_model_strings_reach_parser_through_every_access(make_acq):
    rng = random.Random(3)
    for model in MODELS:
        module = encoder_for(model)
        p = module.sample_params(model=model)
        acq = vintrel.Acquisition(make_acq(p, [module.sample_event(p, rng) for _ in range(2)]))
        for e in [acq[0], acq.parsed_event(1), *acq[0:2], *iter(acq)]:
            assert e["timing"] is None
            assert sum(map(len, e["data"])) == 2048


def one_chip(n_windows, extra=()):
    windows = [(0, w, samples_for(0, w)) for w in range(n_windows)]
    return enc.encode_words(enc.encode_chip(0, windows) + list(extra))


def test_one_chip_record_with_two_windows(make_acq):
    e = parse(make_acq, params(), one_chip(2))
    assert e["window_labels"][0] == [0, 1]
    assert e["time"][0] == list(range(8))


@pytest.mark.parametrize("event,p,message", [
    (b"", params(), "required data missing when parsing"),
    (b"\x00\x00\x00", params(), "unexpected length of data"),
    (b"\xff\xff", params(), "unexpected length of data"),  # only the dropped word: one empty record
    (one_chip(2, [0x1234]), params(), "unexpected length of data"),  # empty record after the stop word
    (one_chip(2)[:-4] + b"\xff\xff", params(), "unexpected length of data"),  # a sample word lost
    (enc.encode_words(enc.encode_chip(0, []) + [0xFFFF]), params(), "unexpected length of data"),  # two stop words
    (enc.encode_words([0, 0, 0xFFFF]), params(), "unexpected length of data"),  # record shorter than its header
    (enc.encode_words(enc.encode_chip(1, [(2, 0, [1, 2, 3, 4])])), params(4), "invalid channel number"),  # 2 * 1 + 2
    (enc.encode_words(enc.encode_chip(0, [(3, 0, [1, 2, 3, 4])])), params(3), "invalid channel number"),
    (one_chip(1), params(0), "invalid channel number"),
    (one_chip(1), params(2**64 - 1), "provided parameters are invalid"),
    (one_chip(1), params(65537), "provided parameters are invalid"),
    # No chips to divide the channels by; windows of no words.
    (one_chip(1), params(num_chips=0), "provided parameters are invalid"),
    (one_chip(1), params(samples=0, n_window_headers=0), "provided parameters are invalid"),
    (one_chip(1), params(samples=2**64 - 1), "provided parameters are invalid"),
    (one_chip(1), params(n_window_headers=2**64 - 4), "provided parameters are invalid"),
    # Empty records are malformed even when chips have no header words.
    (enc.encode_words([0xFFFF, 0xFFFF]), params(n_chip_headers=0), "unexpected length of data"),
])
def test_errors(make_acq, event, p, message):
    assert parse_error(make_acq, p, event) == message


def test_record_of_only_headers_is_skipped_without_reading_its_chip(make_acq):
    # Chip 15 would map past the channels, but a record without windows is
    # never asked for its chip number.
    headers_only = [0xF000, 0x0001, 0x0002, 0xFFFF]
    event = enc.encode_words(headers_only + enc.encode_chip(0, [(1, 4, samples_for(1, 4))]))
    assert parse(make_acq, params(2, num_chips=1), event)["window_labels"] == [[], [4]]


def test_sample_equal_to_stop_word_splits_its_record(make_acq):
    windows = [(0, 0, [1, 0xFFFF, 3, 4])]
    assert parse_error(make_acq, params(), enc.encode_words(enc.encode_chip(0, windows))) == \
        "unexpected length of data"


def test_chip_number_selects_channel_block(make_acq):
    # chip 1 with K = 16 // 2 = 8 and channel bits 3 -> channel 11.
    event = enc.encode_words(enc.encode_chip(1, [(3, 9, [0xF123, 0x0FFF, 0, 0x1000])]))
    e = parse(make_acq, params(16), event)
    assert e["window_labels"][11] == [9]
    assert e["data"][11] == [291.0, 4095.0, 0.0, 0.0]  # samples AND 0x0FFF
    assert all(not labels for i, labels in enumerate(e["window_labels"]) if i != 11)


def test_channel_met_in_several_records_appends(make_acq):
    chips = [enc.encode_chip(0, [(1, 6, [1, 2, 3, 4])]), enc.encode_chip(0, [(1, 7, [5, 6, 7, 8]), (1, 0, [9] * 4)])]
    e = parse(make_acq, params(4, windows=8), enc.encode_event(chips))
    assert e["window_labels"][1] == [6, 7, 0]
    assert e["data"][1] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 9.0, 9.0, 9.0]
    assert e["time"][1] == list(range(12))


def test_custom_keys(make_acq):
    # Stop word 0xEEEE, one chip header word, two window header words,
    # channel in bits 4-5, label in bits 0-3, 8-bit samples, 4 chips.
    keys = {"chip_stop_word": 0xEEEE, "n_chip_headers": 1, "n_window_headers": 2, "chanmask": 0x0030,
            "chan_shift": 20, "windmask": 0x000F, "databitmask": 0x00FF, "num_chips": 4}
    words = [0x2000, 0x8000 | (1 << 4) | 0x45, 0x7777, 0x0123, 0x0FFF, 0xEEEE,
             0x3000, (0 << 4) | 0x03, 0x7777, 0x0001, 0x0002, 0xEEEE]
    e = parse(make_acq, params(8, windows=16, samples=2, **keys), enc.encode_words(words))
    # chan_shift 20 AND 15 = 4; chip 2 -> channels 4, 5; chip 3 -> 6, 7.
    assert e["window_labels"] == [[], [], [], [], [], [5], [3], []]
    assert e["data"][5] == [35.0, 255.0]
    assert e["data"][6] == [1.0, 2.0]
