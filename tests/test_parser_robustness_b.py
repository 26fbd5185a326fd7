"""Random and hostile input for the pikor, fennikoc, zemil16 and grenvik
parsers: whatever the bytes and metadata, parsing gives a dictionary or
acquisition.ParsingError, quickly, and never reads outside the event."""

import random
import tempfile
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import acqwriter
import vintrel
from encoders import encoder_for

BOARDS = {
    "pikorv1_evalr2": ["chanmask", "abs_wind_mask", "timing_mask", "timing_shift", "packet_size", "headers",
                       "stop_word"],
    "pikorv2_eval": ["packet_size", "headers", "stop_word"],
    "fennikoc_tessla": ["num_chips", "databitmask", "chanmask", "chan_shift", "windmask", "chip_stop_word",
                        "n_chip_headers", "n_window_headers"],
    "zemil16": ["data_mask", "chanmask", "chan_shift", "windmask", "n_chip_headers", "n_chip_footers",
                "n_window_headers", "n_window_footers"],
    "grenvik": ["n_window_headers", "n_event_headers", "n_footer_words"],
}
HUGE = [2**16, 2**32, 2**63, 2**64 - 1, 2**64, 2**70]

printable = st.text(st.characters(min_codepoint=32, max_codepoint=126), max_size=12)
key_values = st.one_of(
    st.integers(0, 40), st.integers(0, 2**16), st.integers(-2**70, 2**70), st.sampled_from(HUGE),
    st.floats(), printable, st.text(alphabet="0123456789abcdefABCDEF+-x", max_size=20), st.booleans(), st.none(),
)
counts = st.one_of(st.integers(0, 12), st.integers(0, 300), st.sampled_from([65536, 65537, 2**32, 2**63, 2**64 - 1]))


def parse_once(params, event):
    """The parsed event, or the ParsingError message; anything else fails."""
    with tempfile.TemporaryDirectory() as tmp:
        root = acqwriter.write_acquisition(Path(tmp) / "acq", params, [event])
        acq = vintrel.Acquisition(root)
        try:
            result = acq.parsed_event(0)
        except Exception as exc:  # noqa: BLE001 - the type is what is tested
            assert (type(exc).__module__, type(exc).__qualname__) == ("acquisition", "ParsingError"), repr(exc)
            return str(exc)
    assert isinstance(result, dict)
    assert len(result["data"]) == len(result["window_labels"]) == len(result["time"]) == params["channels"]
    return result


def small_sample(model, rng):
    """Parameters and a valid event of the board, kept small."""
    module = encoder_for(model)
    small = {"pikorv1_evalr2": dict(channels=3, windows=2), "pikorv2_eval": dict(channels=2, windows=3),
             "fennikoc_tessla": dict(channels=4, windows=3, samples=5), "zemil16": dict(channels=3, windows=4,
                                                                                     samples=3),
             "grenvik": dict(channels=8, windows=2, samples=5)}[model]
    p = module.sample_params(model=model, **small)
    return p, module.sample_event(p, rng)


@st.composite
def inputs(draw, model):
    p, event = small_sample(model, random.Random(draw(st.integers(0, 2**32))))
    kind = draw(st.sampled_from(["random", "mutated", "valid"]))
    if kind == "random":
        event = draw(st.binary(max_size=300))
    elif kind == "mutated":
        event = bytearray(event)
        for _ in range(draw(st.integers(1, 6))):
            op = draw(st.sampled_from(["flip", "cut", "insert", "delete"]))
            at = draw(st.integers(0, len(event)))
            if op == "flip" and at < len(event):
                event[at] = draw(st.integers(0, 255))
            elif op == "cut":
                del event[at:]
            elif op == "insert":
                event[at:at] = draw(st.sampled_from([b"\xfa\x5a", b"\xff\xff", b"\x00", b"\x00\x00", b"\x12\x34"]))
            elif op == "delete":
                del event[at:at + draw(st.integers(1, 3))]
        event = bytes(event)
    for name in ("channels", "windows", "samples"):
        if draw(st.booleans()):
            p[name] = draw(counts)
    for key in draw(st.lists(st.sampled_from(BOARDS[model]), max_size=4, unique=True)):
        p[key] = draw(key_values)
    return p, event


@pytest.mark.parametrize("model", list(BOARDS))
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_random_input_gives_dict_or_parsing_error(model, data):
    p, event = data.draw(inputs(model))
    parse_once(p, event)


def hostile_cases():
    for model in BOARDS:
        p, event = small_sample(model, random.Random(1))
        for name in ("channels", "windows", "samples"):
            yield model, {**p, name: 2**64 - 1}, event
        yield model, {**p, "channels": 65537, "windows": 2**40, "samples": 2**40}, event
        for key in BOARDS[model]:
            yield model, {**p, key: 2**64 - 1}, event
        yield model, {**p, "samples": 0, "windows": 2**64 - 1}, event


@pytest.mark.parametrize("model,p,event", list(hostile_cases()))
def test_absurd_sizes_fail_quickly(model, p, event):
    start = time.monotonic()
    result = parse_once(p, event)
    assert time.monotonic() - start < 5
    if p["channels"] > 65536:
        assert result == "Failed to parse event: provided parameters are invalid" or \
            result == "Failed to parse event: unexpected length of data"
