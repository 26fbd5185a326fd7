"""The ostra96 parser through Acquisition.parsed_event: round trips from the
encoder, header decoding, the time axis, and every way the layout can fail."""

import random
import struct
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import acqwriter
import vintrel
from encoders import ostra96 as enc
from parse_helpers import parse, parse_error


@pytest.mark.parametrize("overrides", [
    {},
    {"windows": 8, "samples": 3},
    {"channels": 32, "num_chips": 2},
    {"channels": 48, "windows": 2, "samples": 16},          # K = 8 channels per chip
    {"n_chip_headers": 4, "n_chip_footers": 0, "n_window_headers": 3, "n_window_footers": 2, "n_event_footers": 6},
])
def test_round_trip(make_acq, overrides):
    params = enc.sample_params(**overrides)
    lay = enc.layout(params)
    rng = random.Random(3)
    channels = lay["K"] * lay["num_chips"]
    samples = {ch: [rng.randrange(1024) for _ in range(lay["WS"])] for ch in range(channels)}
    labels = {ch: rng.randrange(params["windows"]) for ch in range(channels)}
    event = parse(make_acq, params, enc.encode_event(params, samples, labels))
    w, s = params["windows"], params["samples"]
    assert list(event) == ["data", "window_labels", "time", "timing", "ecc_errors"]
    assert event["timing"] is None and event["ecc_errors"] == [[]] * 96
    for ch in range(96):
        if ch < channels:
            assert event["data"][ch] == [float(v) for v in samples[ch]]
            assert event["window_labels"][ch] == [(labels[ch] + k) % w for k in range(w)]
            assert event["time"][ch] == list(range(w * s))
        else:
            assert event["data"][ch] == event["window_labels"][ch] == event["time"][ch] == []


def test_header_and_chip_number_give_the_channel(make_acq):
    # Chip 2 in the first chip slot: header 0x0A05 names channel 10 + 16 * 2, first label 5.
    params = enc.sample_params(windows=8, samples=2)
    raw = bytearray(enc.encode_event(params, chip_numbers=[2 | 0xC0]))  # only the low 6 bits count
    header = enc.word_position(params, 0, 0, 0) - 2
    raw[header:header + 2] = struct.pack("<H", 0x0A05)
    header = enc.word_position(params, 0, 10, 0) - 2
    raw[header:header + 2] = struct.pack("<H", 0x0000)
    event = parse(make_acq, params, bytes(raw))
    assert event["window_labels"][42] == [5, 6, 7, 0, 1, 2, 3, 4]
    assert event["time"][42] == list(range(16))
    assert event["window_labels"][32] == list(range(8))


@pytest.mark.parametrize("word, value", [(0xFC00, 1023.0), (0xFFFF, 0.0), (0x0000, 1023.0), (0x03FE, 1.0)])
def test_samples_are_inverted_and_masked(make_acq, word, value):
    params = enc.sample_params(channels=16, num_chips=1, windows=1, samples=1)
    raw = bytearray(enc.encode_event(params, chip_numbers=[0]))
    raw[enc.word_position(params, 0, 3, 0):enc.word_position(params, 0, 3, 0) + 2] = struct.pack("<H", word)
    assert parse(make_acq, params, bytes(raw))["data"][3] == [value]


def test_free_keys_that_are_not_non_negative_integers_take_the_defaults(make_acq):
    params = enc.sample_params(num_chips="2", data_mask=-1, n_event_footers=2.0, chanmask=None)
    event = parse(make_acq, params, enc.sample_event(enc.sample_params(), random.Random(1)))
    assert sum(map(len, event["data"])) == 96 * 20


def test_sixteen_bit_keys_keep_the_low_bits(make_acq):
    params = enc.sample_params(data_mask=0x10000 + 0x00F, channels=16, num_chips=1, windows=1, samples=1)
    event = parse(make_acq, params, enc.encode_event(params, {0: [0x3AB]}, chip_numbers=[0]))
    assert event["data"][0] == [0x00B]


def test_event_of_only_the_footer_is_empty(make_acq):
    event = parse(make_acq, enc.sample_params(), b"\0\0")
    assert all(event[key] == [[]] * 96 for key in ("data", "window_labels", "time", "ecc_errors"))


def test_a_channel_in_two_chips_gets_both_blocks(make_acq):
    params = enc.sample_params(windows=2, samples=1)
    event = parse(make_acq, params, enc.encode_event(params, {0: [1, 2]}, chip_numbers=[0, 0]))
    assert event["data"][0] == [1.0, 2.0, 1.0, 2.0]
    assert event["window_labels"][0] == [0, 1, 0, 1] and event["time"][0] == [0, 1, 0, 1]


@pytest.mark.parametrize("params, event, message", [
    (enc.sample_params(), b"", "required data missing when parsing"),
    (enc.sample_params(), b"\0\0\0", "unexpected length of data"),
    (enc.sample_params(), bytes(4252), "unexpected length of data"),
    (enc.sample_params(), enc.encode_event(enc.sample_params(), chip_numbers=[7]), "invalid channel number"),
    (enc.sample_params(channels=97), b"\0\0", "required data missing when parsing"),
    # Refused layouts: no chips to count, empty blocks, overflowing sizes.
    (enc.sample_params(num_chips=0), b"\0\0", "provided parameters are invalid"),
    (enc.sample_params(channels=0, n_chip_headers=0, n_chip_footers=0), b"\0\0", "provided parameters are invalid"),
    (enc.sample_params(windows=0, n_window_headers=0, n_window_footers=0), b"\0\0", "provided parameters are invalid"),
    (enc.sample_params(windows=2**40, samples=2**40), b"\0\0", "provided parameters are invalid"),
    (enc.sample_params(channels=2**64 - 1, num_chips=1), b"\0\0", "provided parameters are invalid"),
    # C = 1, so every length passes the multiple test, but 2 - 4 would wrap.
    (enc.sample_params(channels=0, n_chip_footers=0, n_event_footers=4), b"\0\0", "unexpected length of data"),
    # S = 0 costs no event bytes per label: a huge W must not fill memory.
    (enc.sample_params(windows=2**62, samples=0, n_window_headers=1, n_window_footers=0),
     b"\0" * (20 * (4 + 32)) + b"\0\0", "provided parameters are invalid"),
])
def test_failures(make_acq, params, event, message):
    assert parse_error(make_acq, params, event) == message


def test_labels_stop_at_65535(make_acq):
    params = enc.sample_params(channels=1, num_chips=1, windows=70000, samples=0, windmask=0xFFFF, chanmask=0,
                               n_window_footers=0)
    raw = bytearray(enc.encode_event(params, chip_numbers=[0, 0]))
    raw[1:3] = struct.pack("<H", 65530)  # first chip: L0 = 65530; second chip: L0 = 0
    event = parse(make_acq, params, bytes(raw))
    labels = event["window_labels"][0]
    assert labels[:6] == [65530, 65531, 65532, 65533, 65534, 65535]
    assert labels[6:] == list(range(65536)) and event["time"][0] == []


# Without samples a label costs no event bytes: what one event may hold is
# bounded by its own length (a label per word, plus one ring of 16-bit labels).
NO_SAMPLES = enc.sample_params(channels=6, num_chips=6, windows=65535, samples=0, n_chip_headers=0,
                               n_chip_footers=0)  # a chip is one 4-byte block of 65,535 labels


@pytest.mark.parametrize("event, labels", [
    (bytes(6), 65535),                      # one chip: one ring
    (bytes(10), None),                      # two rings from 10 bytes
    (bytes(1026), None),                    # 256 chips: 16.8 M labels from 1 KB
    (bytes(4 * 40000 + 2), None),
], ids=["one ring", "two rings", "1 KB flood", "160 KB flood"])
def test_labels_are_bounded_by_the_event_bytes(make_acq, event, labels):
    if labels is None:
        assert parse_error(make_acq, NO_SAMPLES, event) == "provided parameters are invalid"
    else:
        assert len(parse(make_acq, NO_SAMPLES, event)["window_labels"][0]) == labels


KEYS = ["num_chips", "n_chip_headers", "n_chip_footers", "n_window_headers", "n_window_footers",
        "data_mask", "chanmask", "chan_shift", "windmask", "n_event_footers"]
small = st.integers(0, 40)
key_value = st.one_of(small, st.integers(0, 2**64 - 1), st.integers(-5, -1), st.text(max_size=3), st.none())


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.binary(max_size=600), channels=small, windows=st.one_of(small, st.integers(0, 2**64 - 1)),
       samples=st.one_of(small, st.integers(0, 2**64 - 1)),
       keys=st.dictionaries(st.sampled_from(KEYS), key_value, max_size=6))
def test_random_bytes_and_keys_give_a_dict_or_a_parse_error(data, channels, windows, samples, keys):
    params = {"model": "ostra96", "channels": channels, "windows": windows, "samples": samples, **keys}
    with tempfile.TemporaryDirectory() as tmp:
        acq = vintrel.Acquisition(acqwriter.write_acquisition(Path(tmp) / "a", params, [data]))
        try:
            event = acq.parsed_event(0)
        except Exception as error:  # noqa: BLE001
            assert type(error).__name__ == "ParsingError"
        else:
            assert len(event["data"]) == len(event["ecc_errors"]) == 96
