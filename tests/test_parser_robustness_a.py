"""Random and hostile input for the merrowv3, tesslav3, fennikv2 and
tesslav3s parsers: whatever the bytes, board counts and free keys, parsing
gives a dictionary or acquisition.ParsingError, quickly, and never reads
outside the event (the sanitizer build runs this too)."""

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
    "merrowv3": ["n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask", "n_event_headers",
                 "n_window_headers", "n_footer_words", "n_last_bits"],
    "tesslav3": ["databitmask", "chanmask", "chan_shift", "windmask", "n_event_headers", "n_window_headers",
                 "n_footers", "n_last_bits"],
    "fennikv2": ["n_event_headers", "n_window_headers", "n_footers", "n_last_bits"],
    "tesslav3s": ["n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask", "n_event_headers",
                  "n_footer_words", "n_window_headers", "n_window_footers", "n_last_bits"],
}
HUGE = [2**16, 2**32, 2**63, 2**64 - 1, 2**64, 2**70]

key_values = st.one_of(
    st.integers(0, 12), st.integers(0, 2**16), st.integers(-2**70, 2**70), st.sampled_from(HUGE),
    st.floats(allow_nan=False), st.text(st.characters(min_codepoint=32, max_codepoint=126), max_size=8),
    st.booleans(), st.none(),
)
counts = st.one_of(st.integers(0, 10), st.integers(0, 300),
                   st.sampled_from([65536, 65537, 2**32, 2**63, 2**64 - 2, 2**64 - 1]))


def parse_once(params, event):
    """The parsed event, or the ParsingError message; anything else fails."""
    with tempfile.TemporaryDirectory() as tmp:
        acq = vintrel.Acquisition(acqwriter.write_acquisition(Path(tmp) / "acq", params, [event]))
        try:
            result = acq.parsed_event(0)
        except Exception as exc:  # noqa: BLE001 - the type is what is tested
            assert (type(exc).__module__, type(exc).__qualname__) == ("acquisition", "ParsingError"), repr(exc)
            return str(exc)
    assert isinstance(result, dict)
    assert list(result) == ["data", "window_labels", "time", "timing", "ecc_errors"]
    assert len(result["data"]) == len(result["window_labels"]) == len(result["time"])
    if params["model"] != "tesslav3s":
        assert len(result["data"]) == params["channels"]
    return result


@st.composite
def inputs(draw, model):
    module = encoder_for(model)
    small = dict(channels=draw(st.integers(1, 4)), windows=draw(st.integers(2, 6)), samples=draw(st.integers(1, 6)))
    p = module.sample_params(model=model, **small)
    event = module.sample_event(p, random.Random(draw(st.integers(0, 2**32))))
    kind = draw(st.sampled_from(["random", "mutated", "valid"]))
    if kind == "random":
        event = draw(st.binary(max_size=300))
    elif kind == "mutated":
        event = bytearray(event)
        for _ in range(draw(st.integers(1, 6))):
            at = draw(st.integers(0, len(event)))
            op = draw(st.sampled_from(["flip", "cut", "insert"]))
            if op == "flip" and at < len(event):
                event[at] = draw(st.integers(0, 255))
            elif op == "cut":
                del event[at:]
            elif op == "insert":
                event[at:at] = draw(st.binary(min_size=1, max_size=4))
        event = bytes(event)
    # Board counts: keep the encoder's, or replace any of them.
    for name in ("channels", "windows", "samples"):
        if draw(st.booleans()):
            p[name] = draw(counts)
    for key in draw(st.lists(st.sampled_from(BOARDS[model]), unique=True)):
        p[key] = draw(key_values)
    return p, event


@pytest.mark.parametrize("model", list(BOARDS))
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_random_input_gives_dict_or_parsing_error(model, data):
    params, event = data.draw(inputs(model))
    start = time.perf_counter()
    parse_once(params, event)
    assert time.perf_counter() - start < 2.0


@pytest.mark.parametrize("model", list(BOARDS))
def test_seeded_sweep_of_small_layouts(model, tmp_path):
    # Every small channel/window/sample combination, with the event cut at
    # every even length: catches off-by-one reads at the edges of the body.
    module = encoder_for(model)
    rng = random.Random(11)
    for channels in (1, 2, 3):
        for windows in (2, 3, 4):
            for samples in (0, 1, 2):
                p = module.sample_params(model=model, channels=channels, windows=windows, samples=samples)
                event = module.sample_event(p, rng)
                cuts = [event[:cut] for cut in range(0, len(event) + 1, 2)]
                root = acqwriter.write_acquisition(tmp_path / f"{channels}-{windows}-{samples}", p, cuts)
                acq = vintrel.Acquisition(root)
                for i in range(len(cuts)):
                    try:
                        assert isinstance(acq.parsed_event(i), dict)
                    except Exception as exc:  # noqa: BLE001 - the type is what is tested
                        assert type(exc).__qualname__ == "ParsingError", repr(exc)
                assert isinstance(acq[len(cuts) - 1], dict)  # the whole event parses
