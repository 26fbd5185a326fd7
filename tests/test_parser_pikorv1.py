"""pikor family events: packets cut at stop words, timing values and the
timing-based time axis."""

import random
import struct

import pytest

import vintrel
from encoders import encoder_for
from encoders import pikorv1 as enc
from parse_helpers import parse, parse_error

MODELS = ["pikorv1_evalr2", "pikorv2_evalr1", "pikorv2_evalr2", "pikorv2_eval"]


def params(channels=4, samples=32, **keys):
    return {"model": "pikorv1_evalr2", "channels": channels, "windows": 8, "samples": samples, **keys}


def samples_for(channel, window, n=32):
    return [(channel * 1000 + window * 37 + k) % 0x0FFF + 1 for k in range(n)]


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("channels,windows", [(1, 1), (3, 5), (8, 2)])
def test_round_trip(make_acq, model, channels, windows):
    packets = [enc.encode_packet(ch, (60 + w) % 64, 500 + w, samples_for(ch, w)) for w in range(windows)
               for ch in range(channels)]
    event = parse(make_acq, {**params(channels), "model": model}, enc.encode_event(packets))
    assert list(event) == ["data", "window_labels", "time", "timing", "ecc_errors"]
    assert event["ecc_errors"] is None
    for ch in range(channels):
        assert event["data"][ch] == [float(s) for w in range(windows) for s in samples_for(ch, w)]
        assert event["window_labels"][ch] == [(60 + w) % 64 for w in range(windows)]
        assert event["timing"][ch] == [500 + w for w in range(windows)]
        assert event["time"][ch] == list(range(32 * windows))


def test_model_strings_reach_parser_through_every_access(make_acq):
    rng = random.Random(7)
    for model in MODELS:
        module = encoder_for(model)
        p = module.sample_params(model=model)
        root = make_acq(p, [module.sample_event(p, rng) for _ in range(3)])
        acq = vintrel.Acquisition(root)
        events = [acq[0], acq.parsed_event(1), *acq[1:3], *iter(acq)]
        assert len(events) == 7
        for e in events:
            assert isinstance(e["timing"], list) and len(e["timing"]) == p["channels"]
            assert sum(map(len, e["data"])) == 2048


def test_lost_and_extra_words_drop_only_their_packet(make_acq):
    good = [enc.encode_packet(0, w, 10 + w, samples_for(0, w)) for w in range(4)]
    lost = good[1][:2] + good[1][4:]            # word 1 lost: P - 1 words
    extra = good[2][:8] + b"\x00\x07" + good[2][8:]  # a word too many: P + 1 words
    event = parse(make_acq, params(1), good[0] + lost + extra + good[3])
    assert event["window_labels"][0] == [0, 3]
    assert event["timing"][0] == [10, 13]
    assert event["data"][0] == [float(s) for w in (0, 3) for s in samples_for(0, w)]


def test_sample_equal_to_stop_word_splits_packet_and_both_halves_drop(make_acq):
    data = samples_for(0, 1)
    data[5] = enc.STOP_WORD
    packets = [enc.encode_packet(0, 0, 0, samples_for(0, 0)), enc.encode_packet(0, 1, 1, data),
               enc.encode_packet(0, 2, 2, samples_for(0, 2))]
    assert parse(make_acq, params(1), b"".join(packets))["window_labels"][0] == [0, 2]


def test_words_after_last_stop_word_are_ignored(make_acq):
    event = enc.encode_packet(1, 4, 9, samples_for(1, 4)) + b"\x12\x34" * 40
    assert parse(make_acq, params(2), event)["window_labels"] == [[], [4]]


def test_zero_packet_skipped_even_with_out_of_range_channel(make_acq):
    zero = enc.encode_packet(63, 1, 1, [0] * 32)
    event = parse(make_acq, params(2), zero + enc.encode_packet(1, 2, 2, samples_for(1, 2)))
    assert event["window_labels"] == [[], [2]]
    assert event["data"][0] == [] and event["time"][0] == [] and event["timing"][0] == []


@pytest.mark.parametrize("event,p,message", [
    (b"", params(), "Encountered an empty Package which can't be parsed"),
    (b"\xfa", params(), "unexpected length of data"),
    (enc.encode_packet(0, 0, 0, samples_for(0, 0)) + b"\x00", params(), "unexpected length of data"),
    (b"\x00\x01" * 50, params(), "Encountered an empty Package which can't be parsed"),
    (enc.encode_packet(0, 0, 0, [0] * 32), params(), "required data missing when parsing"),
    (enc.encode_packet(0, 0, 0, samples_for(0, 0)), params(samples=0), "required data missing when parsing"),
    (enc.encode_packet(4, 0, 0, samples_for(4, 0)), params(channels=4), "invalid channel number"),
    # Channel bits beyond chanmask are ignored: 0x45 AND 0x3F = 5.
    (enc.encode_packet(0x45, 0, 0, samples_for(0, 0)), params(channels=5), "invalid channel number"),
    (enc.encode_packet(0, 0, 0, samples_for(0, 0)), params(channels=0), "invalid channel number"),
    (enc.encode_packet(0, 0, 0, samples_for(0, 0)), params(channels=2**64 - 1), "provided parameters are invalid"),
])
def test_errors(make_acq, event, p, message):
    assert parse_error(make_acq, p, event) == message


@pytest.mark.parametrize("value,stop_word", [
    ("+AbCd", 0xABCD), ("1fa5a", 0xFA5A), ("0" * 30 + "beef", 0xBEEF), ("ffffffffffffbeef", 0xBEEF),
    (0xABCD, 0xFA5A), ("0xabcd", 0xFA5A), ("", 0xFA5A), ("+", 0xFA5A), ("-abcd", 0xFA5A),
    ("1" + "0" * 16 + "abcd", 0xFA5A), ("ab cd", 0xFA5A),
])
def test_stop_word_key(make_acq, value, stop_word):
    # The same packets closed by 0xABCD or 0xBEEF only parse when the key
    # selects that word; otherwise no packet is found.
    for candidate in (0xABCD, 0xBEEF, 0xFA5A):
        event = enc.encode_packet(0, 0, 0, samples_for(0, 0), stop_word=candidate)
        p = params(1, stop_word=value)
        if candidate == stop_word:
            assert parse(make_acq, p, event)["window_labels"] == [[0]]
        else:
            assert parse_error(make_acq, p, event) == "Encountered an empty Package which can't be parsed"


@pytest.mark.parametrize("keys,words,channel,label,timing", [
    ({}, [0xFFC3, 0xF001, 0xF002, 0xFFC5], 3, 5, 0x1002),  # default masks cut the high bits
    ({"timing_shift": 44}, [0, 0x0001, 0x0002, 0], 0, 0, 0x1002),  # 44 AND 31 = 12
    ({"timing_shift": 16, "timing_mask": 70000}, [0, 0xFFFF, 0xFFFF, 0], 0, 0, 0x11701170),  # 70000 -> 0x1170
    ({"chanmask": 0x0F00, "abs_wind_mask": 0xFF00}, [0x0200, 0, 0, 0x1234], 0x200, 0x1200, 0),
    ({"chanmask": -1, "abs_wind_mask": 1.5, "timing_mask": "0xff"}, [0x43, 0x1, 0x2, 0x47], 3, 7, 0x1002),
])
def test_header_masks_and_shift(make_acq, keys, words, channel, label, timing):
    event = enc.encode_packet(0, 0, 0, samples_for(0, 0), header_words=words)
    e = parse(make_acq, params(0x201, **keys), event)
    assert e["window_labels"][channel] == [label]
    assert e["timing"][channel] == [timing]


def test_time_axis_from_first_timing_values(make_acq):
    packets = [enc.encode_packet(ch, 7, first + w, samples_for(ch, w)) for w in range(3)
               for ch, first in ((0, 100), (1, 102))]
    e = parse(make_acq, params(3), b"".join(packets))
    assert e["time"] == [list(range(0, 96)), list(range(64, 160)), []]
    # Labels take no part: the same event with other labels has the same axis.
    assert e["window_labels"] == [[7, 7, 7], [7, 7, 7], []]


def test_time_axis_wraps_modulo_65536(make_acq):
    # r = 2047 with S = 32: start 65504, end (2050 * 32) mod 65536 = 64 <= start.
    packets = [enc.encode_packet(0, 0, 0, samples_for(0, 0)),
               *(enc.encode_packet(1, 0, 2047 + w, samples_for(1, w)) for w in range(3))]
    assert parse(make_acq, params(2), b"".join(packets))["time"] == [list(range(32)), []]
    # Timing values are compared unsigned and only their first one counts.
    packets = [enc.encode_packet(0, 0, 0x00FFFFFF, samples_for(0, 0)), enc.encode_packet(1, 0, 5, samples_for(1, 0)),
               enc.encode_packet(1, 0, 0, samples_for(1, 1))]
    r = (0x00FFFFFF - 5) % 65536
    e = parse(make_acq, params(2), b"".join(packets))
    assert e["time"] == [list(range(r * 32 % 65536, (r + 1) * 32 % 65536)), list(range(64))]


def test_stop_word_taken_as_last_sample_when_header_and_samples_fill_packet(make_acq):
    e = parse(make_acq, params(1, samples=33), enc.encode_packet(0, 0, 0, samples_for(0, 0)))
    assert e["data"][0] == [float(s) for s in samples_for(0, 0)] + [float(enc.STOP_WORD)]


def test_small_packet_holding_header_and_samples(make_acq):
    # packet_size 10 -> P = 6 words; 2 header words leave room for 3 samples
    # with the stop word as the last; the timing and label words still fit.
    event = struct.pack(">6H", 0, 1, 2, 3, 4, 0xFA5A)
    e = parse(make_acq, params(1, samples=4, packet_size=10, headers=2), event)
    assert e["data"][0] == [2.0, 3.0, 4.0, float(0xFA5A)]
    assert (e["window_labels"], e["timing"]) == ([[3]], [[1 << 12 | 2]])


DEFAULT_PACKET = enc.encode_packet(0, 0, 0, samples_for(0, 0))


@pytest.mark.parametrize("keys,samples,event,message", [
    # Used packets too short for the four header words or for headers + S.
    ({"packet_size": 4, "headers": 0}, 2, struct.pack(">3H", 1, 2, 0xFA5A), "provided parameters are invalid"),
    ({"packet_size": 2, "headers": 0}, 1, struct.pack(">2H", 1, 0xFA5A), "provided parameters are invalid"),
    ({}, 40, DEFAULT_PACKET, "provided parameters are invalid"),
    ({}, 2**64 - 1, DEFAULT_PACKET, "provided parameters are invalid"),  # headers + S overflows
    # The channel check comes first.
    ({"packet_size": 2, "headers": 0}, 1, struct.pack(">2H", 9, 0xFA5A), "invalid channel number"),
    # No word after the header: the packet is never used.
    ({"headers": 2**64 - 1}, 2, DEFAULT_PACKET, "required data missing when parsing"),
    ({"headers": 37}, 2, DEFAULT_PACKET, "required data missing when parsing"),
    # Packets longer than any event.
    ({"packet_size": 2**64 - 1}, 32, DEFAULT_PACKET, "Encountered an empty Package which can't be parsed"),
])
def test_parameters_that_do_not_fit_the_packets(make_acq, keys, samples, event, message):
    assert parse_error(make_acq, params(4, samples=samples, **keys), event) == message
