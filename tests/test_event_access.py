"""Parsed events through Acquisition: parsed_event, integer and slice
subscripts, iteration and the unsupported-model rule."""

import pytest

import acqwriter
import vintrel

PARAMS = {"model": "merrowv3", "channels": 4, "windows": 4, "samples": 2}


def packet(value, label=1):
    """A merrowv3 packet of one window, four channels of two samples each:
    channel c holds the samples value + c and value + c + 1."""
    words = [0xAAAA, 0xBBBB, 0xCCCC]
    for c in range(4):
        words += [c << 10 | label << 1, (value + c) << 1, (value + c + 1) << 1]
    words += [0xDDDD, 0xEEEE]  # window header word, footer word
    return b"".join(w.to_bytes(2, "big") for w in words)


def first_sample(event):
    return int(event["data"][0][0])


@pytest.fixture
def acq(make_acq):
    return vintrel.Acquisition(make_acq(PARAMS, [packet(10 * i) for i in range(10)], chunk_size=4))


def test_parsed_event_dictionary(acq):
    event = acq.parsed_event(3)
    assert list(event) == ["data", "window_labels", "time", "timing", "ecc_errors"]
    assert event["data"] == [[30.0, 31.0], [31.0, 32.0], [32.0, 33.0], [33.0, 34.0]]
    assert event["window_labels"] == [[1]] * 4 and event["time"] == [[0, 1]] * 4
    assert event["timing"] is None and event["ecc_errors"] is None
    assert acq[3] == event == acq.parsed_event(index=3)


@pytest.mark.parametrize("key,expected", [
    (0, 0), (9, 90), (True, 10), (False, 0),
])
def test_integer_subscripts(acq, key, expected):
    assert first_sample(acq[key]) == expected


@pytest.mark.parametrize("key,error,message", [
    (-1, IndexError, "index out of bounds"),
    (10, IndexError, "Index out of bounds"),
    (2**63, TypeError, "index must be an int or a slice"),
    ("1", TypeError, "index must be an int or a slice"),
    (1.0, TypeError, "index must be an int or a slice"),
    (slice(None, None, -1), IndexError, "index out of bounds"),
])
def test_bad_subscripts(acq, key, error, message):
    with pytest.raises(error) as info:
        acq[key]
    assert str(info.value) == message


@pytest.mark.parametrize("key,expected", [
    (slice(0, 3), [0, 10, 20]),
    (slice(5, 2), []),
    (slice(0, 1000), [10 * i for i in range(10)]),
    (slice(None, None, 3), [0, 30, 60, 90]),
    (slice(-2, None), [80, 90]),
    (slice(True, 3), [10, 20]),
])
def test_slices_follow_the_interpreters_rules(acq, key, expected):
    assert [first_sample(e) for e in acq[key]] == expected


def test_zero_step_raises_the_slice_error(acq):
    with pytest.raises(ValueError):
        acq[::0]


def test_len_and_iteration(acq):
    assert len(acq) == 10
    assert [first_sample(e) for e in acq] == [10 * i for i in range(10)]
    it = iter(acq)
    assert iter(it) is it
    assert type(it).__name__ == "IterEvents"
    again = type(it)(acq)
    assert [first_sample(e) for e in again] == [10 * i for i in range(10)]
    with pytest.raises(TypeError, match="^argument 'acq'"):
        type(it)(3)


def test_iteration_stops_at_a_bad_event_and_retries_it(make_acq):
    root = make_acq(PARAMS, [packet(i) for i in range(5)] + [b"\x00\x01\x02"] + [packet(6)])
    acq = vintrel.Acquisition(root)
    it = iter(acq)
    with pytest.warns(RuntimeWarning, match="^iteration stopped at event 5 of 7"):
        assert [first_sample(e) for e in it] == [0, 1, 2, 3, 4]
    with pytest.raises(StopIteration), pytest.warns(RuntimeWarning):
        next(it)
    # The same index is tried again: repair event 5 and the iterator goes on.
    events = [packet(i) for i in range(7)]
    acqwriter.write_chunk(root, 0, events)
    assert [first_sample(e) for e in it] == [5, 6]


def test_slice_failure_raises_the_first_error(make_acq):
    acq = vintrel.Acquisition(make_acq(PARAMS, [packet(0), b"\x01"]))
    with pytest.raises(Exception, match="^Failed to parse event: unexpected length of data$"):
        acq[0:2]


def test_params_are_copied_at_construction(make_acq):
    acq = vintrel.Acquisition(make_acq(PARAMS, [packet(0)]))
    del acq.metadata["params"]
    assert first_sample(acq.parsed_event(0)) == 0


@pytest.mark.parametrize("model", ["Merrowv3", "merrowv3 ", "merrowv4", "", "grenvikv1", "pikorv2_evalr3"])
def test_unsupported_models_fail_before_the_bytes_are_looked_at(make_acq, model):
    acq = vintrel.Acquisition(make_acq(dict(PARAMS, model=model), [b""]))
    with pytest.raises(Exception) as info:
        acq[0]
    assert type(info.value).__module__ == "acquisition" and type(info.value).__name__ == "ParsingError"
    assert str(info.value) == "Failed to parse event: data is from an unsupported board model"


@pytest.mark.parametrize("model", ["merrowv3", "fennikv2", "tesslav3", "tesslav3s", "fennikoc_fennik",
                                   "fennikoc_tessla", "ostra96", "grenvik", "pikorv1_evalr2", "pikorv2_evalr1",
                                   "pikorv2_evalr2", "pikorv2_eval", "zemil16"])
def test_every_model_string_reaches_a_parser(make_acq, model):
    acq = vintrel.Acquisition(make_acq(dict(PARAMS, model=model), [b"\x00"]))
    with pytest.raises(Exception) as info:
        acq[0]
    assert str(info.value) != "Failed to parse event: data is from an unsupported board model"


@pytest.mark.parametrize("enabled", [True, False])
def test_reading_events_leaves_the_garbage_collector_as_it_was(acq, enabled):
    import gc
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        acq[0:3], acq[1], acq.parsed_event(2), list(acq)
        with pytest.raises(IndexError):
            acq[99]
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
