"""zemil16 events: a fixed event length, little-endian channel blocks with
inverted samples and window labels rotated to start at the block's first."""

import random
import struct

import pytest

import vintrel
from encoders import encoder_for
from encoders import zemil16 as enc
from parse_helpers import parse, parse_error


def params(channels=16, windows=4, samples=8, **keys):
    return {"model": "zemil16", "channels": channels, "windows": windows, "samples": samples, **keys}


def values(channel, n):
    return [(channel * 97 + k * 13) % 0x400 for k in range(n)]


def full_event(channels, windows, samples, first=0, **kwargs):
    return enc.encode_event([enc.encode_block(ch, first, values(ch, windows * samples), **kwargs)
                             for ch in range(channels)])


@pytest.mark.parametrize("channels,windows,samples,first", [(16, 4, 8, 2), (3, 8, 16, 7), (1, 1, 1, 0), (2, 64, 2, 63)])
def test_round_trip(make_acq, channels, windows, samples, first):
    e = parse(make_acq, params(channels, windows, samples), full_event(channels, windows, samples, first))
    labels = enc.rotated_labels(first, windows)
    for ch in range(channels):
        assert e["data"][ch] == [float(v) for v in values(ch, windows * samples)]
        assert e["window_labels"][ch] == labels
        # The rotated ring is read as consecutive windows from the first label.
        assert e["time"][ch] == list(range(windows * samples))
    assert e["timing"] is None and e["ecc_errors"] is None


def test_model_string_reaches_parser_through_every_access(make_acq):
    p = enc.sample_params()
    rng = random.Random(5)
    acq = vintrel.Acquisition(make_acq(p, [encoder_for("zemil16").sample_event(p, rng) for _ in range(2)]))
    for e in [acq[0], acq.parsed_event(1), *acq[:], *iter(acq)]:
        assert sum(map(len, e["data"])) == 2048 and e["timing"] is None


@pytest.mark.parametrize("delta,message", [(-1, "unexpected length of data"), (1, "unexpected length of data")])
def test_event_length_must_match_exactly(make_acq, delta, message):
    event = full_event(16, 4, 8)
    assert len(event) == 1091  # 3 + 2 * 16 * (1 + 32 + 1)
    assert parse(make_acq, params(), event)["window_labels"][15] == [0, 1, 2, 3]
    changed = event[:delta] if delta < 0 else event + b"\x00" * delta
    assert parse_error(make_acq, params(), changed) == message


def test_header_gives_channel_and_first_label(make_acq):
    block = enc.encode_block(0, 0, values(0, 8), header=0x0302)
    e = parse(make_acq, params(4, 4, 2), enc.encode_event([block] + [enc.encode_block(1, 0, values(1, 8))] * 3))
    assert e["window_labels"][3] == [2, 3, 0, 1]
    assert e["time"][3] == list(range(8))
    assert e["data"][3] == [float(v) for v in values(0, 8)]
    # Two blocks of channel 1 both append to it; channels 0 and 2 stay empty.
    assert len(e["data"][1]) == 24 and e["window_labels"][1] == [0, 1, 2, 3] * 3
    assert e["data"][0] == e["data"][2] == [] and e["time"][0] == []


def test_samples_are_inverted_and_masked(make_acq):
    words = [0x0000, 0xFC00, 0xFFFF, 0x0000, 0x1234, 0]
    event = b"\x00" + struct.pack("<6H", *words) + b"\x00\x00"
    e = parse(make_acq, params(1, 1, 4), event)
    assert e["data"][0] == [1023.0, 0.0, 1023.0, float(~0x1234 & 0x3FF)]


@pytest.mark.parametrize("event,p,message", [
    (b"", params(), "required data missing when parsing"),
    (full_event(2, 4, 8), params(3), "unexpected length of data"),
    (enc.encode_event([enc.encode_block(c, 0, values(0, 32)) for c in (0, 3, 1)]), params(3), "invalid channel number"),
    (enc.encode_event([enc.encode_block(0, 0, values(0, 32), header=0x0010)]), params(1, chanmask=0x00F0, chan_shift=4),
     "invalid channel number"),
    # Sizes that overflow 64 bits, or blocks of no words.
    (full_event(1, 4, 8), params(2**63), "provided parameters are invalid"),
    (full_event(1, 4, 8), params(1, 2**32, 2**32), "provided parameters are invalid"),
    (full_event(1, 4, 8), params(1, n_window_footers=2**64 - 1), "provided parameters are invalid"),
    (b"\x01\x02\x03", params(1, 0, 8, n_window_headers=0, n_window_footers=0), "provided parameters are invalid"),
    (b"\x01\x02\x03", params(2**64 - 1, 4, 0, n_window_headers=0, n_window_footers=0),
     "provided parameters are invalid"),
    # More channels than a record may hold.
    (b"\x01" * (3 + 2 * 65537), params(65537, 1, 1, n_window_headers=0, n_window_footers=0),
     "provided parameters are invalid"),
])
def test_errors(make_acq, event, p, message):
    assert parse_error(make_acq, p, event) == message


def test_window_count_without_samples_cannot_flood_labels(make_acq):
    # S = 0: blocks of one header word still carry W labels each. A small W
    # is fine; a W that would give millions of labels is refused quickly.
    event = b"\x00" + struct.pack("<2H", 0x0000, 0x0100) + b"\x00"
    p = params(2, 3, 0, n_window_footers=0, n_chip_footers=1)
    assert parse(make_acq, p, event)["window_labels"] == [[0, 1, 2], [0, 1, 2]]
    big = b"\x00" + struct.pack("<400H", *([0] * 400)) + b"\x00\x00"
    p = params(400, 2**40, 0, n_window_footers=0)
    assert parse_error(make_acq, p, big) == "provided parameters are invalid"


def test_labels_stop_at_65535(make_acq):
    # L0 = 65534 with W = 4: only L0 and L0 + 1 fit 16 bits -> 2, 3.
    block = enc.encode_block(0, 0, values(0, 8), header=0xFFFE)
    e = parse(make_acq, params(1, 4, 2, chanmask=0, windmask=0xFFFF), enc.encode_event([block]))
    assert e["window_labels"][0] == [2, 3]
    assert e["time"][0] == [0, 1, 2, 3]
    assert len(e["data"][0]) == 8


@pytest.mark.parametrize("keys,header,channel,label", [
    ({"chan_shift": 24}, 0x0302, 3, 2),                          # shift applied modulo 16
    ({"windmask": 70000}, 0x0376, 3, 0x0376 & 4464),           # 70000 -> 4464, then mod W
    ({"chanmask": -5, "chan_shift": "4", "windmask": 2.0}, 0x0302, 3, 2),  # defaults
])
def test_header_keys(make_acq, keys, header, channel, label):
    block = enc.encode_block(0, 0, values(0, 8), header=header)
    e = parse(make_acq, params(4, 4, 2, **keys), enc.encode_event([block] * 4))
    assert e["window_labels"][channel][0] == label % 4


def test_chip_and_block_sizes_follow_keys(make_acq):
    # 4 header bytes, 0 footer bytes, 2 header and 0 footer words per block:
    # the words are still read from byte 1, so the blocks start mid-header.
    keys = {"n_chip_headers": 4, "n_chip_footers": 0, "n_window_headers": 2, "n_window_footers": 0}
    p = params(2, 2, 1, data_mask=0xFFFF, **keys)
    # E = 4 + 2 * 2 * 4 = 20 bytes; words from byte 1: 9 whole words, 2 blocks of 4.
    words = [0x0001, 0x7777, 0xFFFE, 0xFFFD, 0x0100, 0x7777, 0xFFFC, 0xFFFB, 0x5555]
    event = b"\xaa" + struct.pack("<9H", *words) + b""
    assert len(event) == 19
    assert parse_error(make_acq, p, event) == "unexpected length of data"
    e = parse(make_acq, p, event + b"\xbb")
    assert e["window_labels"] == [[1, 0], [0, 1]]
    assert e["data"] == [[1.0, 2.0], [3.0, 4.0]]
