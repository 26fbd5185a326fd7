"""The time axis and the free-key rule, seen through parsed events: a time
index per sample counted from the channel's first window, wrapping around
the ring of windows and modulo 2^16; tuning keys taken only when they are
non-negative integers the way yaml.safe_load reads them."""

import pytest
import yaml

import vintrel
from encoders import merrowv3

# (windows, samples, labels of one channel, expected time indices)
TIME_AXIS_CASES = [
    (64, 4, [62, 63, 0], list(range(12))),
    (64, 4, [5, 6], list(range(8))),
    (64, 3, [0, 3], [0, 1, 2, 9, 10, 11]),  # gaps are kept
    (8, 2, [6, 7, 0, 1], list(range(8))),
    (3, 2, [5, 1], [0, 1, 65534, 65535]),  # 1 + 3 - 5 wraps below zero
    (8, 20000, [0, 4], list(range(20000)) + [(80000 + j) % 65536 for j in range(20000)]),
    (2, 1, [9], [0]),  # a label beyond the ring is not checked
]


@pytest.mark.parametrize("windows,samples,labels,expected", TIME_AXIS_CASES)
def test_time_axis(make_acq, windows, samples, labels, expected):
    # One channel, so the packet length has a single layout; a packet holds
    # fewer windows than the ring.
    params = {"model": "merrowv3", "channels": 1, "windows": windows, "samples": samples}
    raw = merrowv3.encode_event([[[0] * samples for _ in labels]], labels)
    event = vintrel.Acquisition(make_acq(params, [raw]))[0]
    assert event["time"] == [expected]


# The text of the datamask key in metadata.yml; each is read by yaml.safe_load
# for the expected mask, so native and Python views of the key must agree.
KEY_FORMS = [
    "4095", "0x0FFF", "07777", "0b111111111111", "1:08:15", "4_095", "+4095", "0", "70000",
    "18446744073709551616", "340282366920938463463374607431768211455",
    "-1", "-0x10", "4095.0", "1e3", ".inf", "'4095'", "\"0x0FFF\"", "!!int '4095'", "!!int \"0x0FFF\"",
    "!!str 4095", "!!float 4095", "true", "off", "null", "~", "[4095]", "{mask: 4095}", "0o7777", "0xZZ",
]


@pytest.mark.parametrize("form", KEY_FORMS)
def test_sixteen_bit_key_forms(make_acq, form):
    root = make_acq({"model": "merrowv3", "channels": 1, "windows": 2, "samples": 1},
                    [merrowv3.words_to_bytes([0, 0, 0, 0, 0xFFFF, 0, 0])])
    text = ("params:\n  model: merrowv3\n  channels: 1\n  windows: 2\n  samples: 1\n"
            f"  datamask: {form}\nregisters: {{}}\n")
    (root / "metadata.yml").write_text(text)
    value = yaml.safe_load(text)["params"]["datamask"]
    taken = isinstance(value, int) and not isinstance(value, bool) and value >= 0
    mask = value % 65536 if taken else 0x1FFF
    assert vintrel.Acquisition(root)[0]["data"] == [[float(mask >> 1)]]


@pytest.mark.parametrize("value,expected_shift", [
    (3, 3), (19, 3), (2**64 - 1, 15), (2**64 + 3, 1), (-3, 1), ("3", 1), (3.0, 1), (None, 1),
])
def test_count_key_values(make_acq, value, expected_shift):
    # n_last_bits is a count: a non-negative integer that fits 64 bits, used modulo 16.
    params = {"model": "merrowv3", "channels": 1, "windows": 2, "samples": 1, "datamask": 0xFFFF,
              "n_last_bits": value}
    root = make_acq(params, [merrowv3.words_to_bytes([0, 0, 0, 0, 0x8000, 0, 0])])
    assert vintrel.Acquisition(root)[0]["data"] == [[float(0x8000 >> expected_shift)]]

