"""grenvik events: fixed-size packets of four windows for a group of four
channels, a short last packet and 4 unread trailing bytes."""

import random
import struct

import pytest

import vintrel
from encoders import encoder_for
from encoders import grenvikv1 as enc
from parse_helpers import parse, parse_error


def params(channels=16, windows=8, samples=4, **keys):
    return {"model": "grenvik", "channels": channels, "windows": windows, "samples": samples, **keys}


def values(channel, label, n=4):
    return [(channel * 4099 + label * 257 + k * 3) % 65536 for k in range(n)]


def packet(group, label, samples=4, offsets=(0, 1, 2, 3), **keys):
    return enc.encode_packet(group, [(label, c, values(4 * group + c, label, samples)) for c in offsets], **keys)


@pytest.mark.parametrize("keys", [{}, {"n_event_headers": 1}, {"n_window_headers": 5}, {"n_event_headers": 3,
                                                                                         "n_footer_words": 1}])
@pytest.mark.parametrize("groups,labels,samples", [(1, [0], 4), (4, [6, 7, 0, 1], 4), (2, [3, 4], 64)])
def test_round_trip(make_acq, keys, groups, labels, samples):
    event = enc.encode_event(packet(g, l, samples, **keys) for l in labels for g in range(groups))
    assert len(event) == len(labels) * groups * enc.packet_bytes(samples, **keys)
    e = parse(make_acq, params(4 * groups, 8, samples, **keys), event)
    for ch in range(4 * groups):
        assert e["window_labels"][ch] == labels
        assert e["data"][ch] == [float(v) for l in labels for v in values(ch, l, samples)]
        assert e["time"][ch] == list(range(len(labels) * samples))  # labels consecutive round the ring of 8
    assert e["timing"] is None and e["ecc_errors"] is None


def test_model_string_reaches_parser_through_every_access(make_acq):
    p = enc.sample_params()
    rng = random.Random(9)
    acq = vintrel.Acquisition(make_acq(p, [encoder_for("grenvik").sample_event(p, rng) for _ in range(2)]))
    for e in [acq[0], acq.parsed_event(1), *acq[0:], *iter(acq)]:
        assert sum(map(len, e["data"])) == 2048 and e["timing"] is None


def test_one_and_two_packets_with_the_defaults(make_acq):
    one = packet(0, 5)
    assert len(one) == 66
    e = parse(make_acq, params(4), one)
    assert e["window_labels"] == [[5]] * 4
    # The last 4 bytes are never read.
    assert parse(make_acq, params(4), one[:-4] + b"\xde\xad\xbe\xef") == e
    e = parse(make_acq, params(8), one + packet(1, 6))
    assert e["window_labels"] == [[5]] * 4 + [[6]] * 4


def test_group_and_offset_select_channels(make_acq):
    e = parse(make_acq, params(16), packet(3, 2))
    assert [bool(d) for d in e["data"]] == [False] * 12 + [True] * 4
    assert e["data"][14] == [float(v) for v in values(14, 2)]


def test_labels_and_samples_are_whole_words(make_acq):
    ev = enc.encode_packet(0, [(5, 0, [0xFFFF, 0, 1, 0x8000]), (0x8003, 0, [1, 2, 3, 4]),
                               (4, 1, [7] * 4), (5, 1, [8] * 4)])
    e = parse(make_acq, params(4, windows=8), ev)
    assert e["window_labels"][0] == [5, 32771]
    assert e["data"][0][:4] == [65535.0, 0.0, 1.0, 32768.0]
    # 32771 is above the first label 5: no wrap, 32766 windows on.
    assert e["time"][0] == [0, 1, 2, 3] + [(32766 * 4 + k) % 65536 for k in range(4)]
    assert e["window_labels"][1] == [4, 5] and e["time"][1] == [0, 1, 2, 3, 4, 5, 6, 7]
    # A label below the first has wrapped: 4 < 5 -> 4 + 8 - 5 = 7 windows on.
    e = parse(make_acq, params(4, windows=8), enc.encode_packet(0, [(5, 0, [0] * 4), (4, 0, [0] * 4),
                                                                    (0, 1, [0] * 4), (0, 2, [0] * 4)]))
    assert e["time"][0] == [0, 1, 2, 3, 28, 29, 30, 31]


@pytest.mark.parametrize("event,p,message", [
    (packet(0, 0)[:-1], params(4), "unexpected length of data"),
    (packet(0, 0)[:-2], params(4), "unexpected length of data"),  # 64 bytes, even but below Q
    (b"", params(4), "unexpected length of data"),
    (packet(3, 0), params(14), "invalid channel number"),
    (packet(0, 0, offsets=(0, 1, 4, 2)), params(4), "invalid channel number"),
    # A second packet cut short of P - 2 = 62 bytes (the event is 4 bytes short of it).
    (packet(0, 0) + packet(0, 1)[:62], params(4), "unexpected length of data"),
    (packet(0, 0) + b"\x00" * 8, params(4), "unexpected length of data"),  # a 4-byte last packet
    (packet(0, 0), params(2**64 - 1), "provided parameters are invalid"),
])
def test_errors(make_acq, event, p, message):
    assert parse_error(make_acq, p, event) == message


@pytest.mark.parametrize("keys,samples,build,message", [
    # With F = 2 the 2 leftover bytes of the window area are a too-short window.
    ({"n_footer_words": 2}, 4, True, "unexpected length of data"),
    # WH = 1: windows one word too small, found after the channel check.
    ({"n_window_headers": 1}, 4, True, "unexpected length of data"),
    ({"n_window_headers": 1}, 4, "bad channel", "invalid channel number"),
    # Windows too small to hold the channel word at all.
    ({"n_window_headers": 0}, 1, False, "unexpected length of data"),
    # Zero-size windows, and sizes that overflow 64 bits.
    ({"n_window_headers": 0}, 0, False, "provided parameters are invalid"),
    ({}, 2**62, False, "provided parameters are invalid"),
    ({"n_event_headers": 2**64 - 1}, 4, False, "provided parameters are invalid"),
    ({"n_footer_words": 2**63}, 4, False, "provided parameters are invalid"),
])
def test_layouts_that_do_not_fit(make_acq, keys, samples, build, message):
    if build is True:
        event = packet(0, 0, samples, **keys)
    elif build == "bad channel":
        event = packet(0, 0, samples, offsets=(9, 0, 1, 2), **keys)
    else:
        event = b"\x00\x00" * 40
    assert parse_error(make_acq, params(4, samples=samples, **keys), event) == message


def test_footer_leftover_of_whole_windows_is_read_as_windows(make_acq):
    # WB = 12 bytes; F = 7 leaves 2 F - 2 = 12 bytes: a fifth window taken
    # from the footer words (0xBEEF labels, offset 0xBEEF -> out of range).
    ev = packet(0, 0, n_footer_words=7)
    assert parse_error(make_acq, params(4, n_footer_words=7), ev) == "invalid channel number"
    words = list(struct.unpack(f">{len(ev) // 2}H", ev))
    words[7 + 24: 7 + 24 + 6] = [9, 3, 1, 2, 3, 4]  # fifth window: label 9, offset 3
    e = parse(make_acq, params(4, 16, n_footer_words=7), struct.pack(f">{len(words)}H", *words))
    assert e["window_labels"][3] == [0, 9]
    assert e["data"][3][4:] == [1.0, 2.0, 3.0, 4.0]
