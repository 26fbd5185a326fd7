"""arrays(channels=...): only the channels asked for, in the order asked,
number for number the slices of the full result (pedestal correction
included); an event without one of them is listed in .errors with an
IndexError; the argument is converted as the indices are, duplicates refused."""

import random

import numpy as np
import pytest

import vintrel
from encoders import MODULES, merrowv3
from test_arrays import as_dicts, outcome, sample_events


def selected(event, channels):
    """acq[i] restricted to `channels`, or the error arrays() lists for it."""
    count = len(event["data"])
    beyond = [c for c in channels if c >= count]
    if beyond:
        return IndexError(f"channel {beyond[0]} out of range: the event has {count} channel{'s' * (count != 1)}")
    return {key: None if value is None else [value[c] for c in channels] for key, value in event.items()}


def check_selection(acq, asked, channels, **kwargs):
    """arrays(asked, channels=...) against the per-event outcomes of acq[i]."""
    outcomes = {i: outcome(acq, i) for i in asked}
    expected = {i: selected(o, channels) if isinstance(o, dict) else o for i, o in outcomes.items()}
    arrays = acq.arrays(asked, channels=channels, **kwargs)
    assert arrays.index.tolist() == [i for i in asked if isinstance(expected[i], dict)]
    assert as_dicts(arrays) == [expected[i] for i in arrays.index]
    assert [(i, type(e), str(e)) for i, e in arrays.errors] == \
        [(i, type(expected[i]), str(expected[i])) for i in asked if not isinstance(expected[i], dict)]
    return arrays


@pytest.mark.parametrize("model", sorted(MODULES))
def test_every_model_gives_the_slices_of_the_full_result(make_acq, model):
    params, events = sample_events(model)
    acq = vintrel.Acquisition(make_acq(params, events, chunk_size=3))
    asked = [6, 0, 5, 1, 99, 2, 3, 2, 4]
    counts = [len(o["data"]) for o in map(lambda i: outcome(acq, i), asked) if isinstance(o, dict)]
    top = max(counts)
    # Reversed order, one channel, none, and one beyond every event.
    for channels in (list(dict.fromkeys([top - 1, 0])), [top // 2], [], [top]):
        check_selection(acq, asked, channels)


@pytest.mark.parametrize("channels, asked, message", [
    (1, [1], "channel 1 out of range: the event has 1 channel"),
    (4, [0, 7], "channel 7 out of range: the event has 4 channels"),
    (4, [2, 4, 1], "channel 4 out of range: the event has 4 channels"),
    (4, [1, 2 ** 62], f"channel {2 ** 62} out of range: the event has 4 channels"),
])
def test_a_channel_beyond_the_event_lists_it_as_an_index_error(make_acq, channels, asked, message):
    params, rng = merrowv3.sample_params(channels=channels), random.Random(4)
    acq = vintrel.Acquisition(make_acq(params, [merrowv3.sample_event(params, rng) for _ in range(3)]))
    arrays = acq.arrays([2, 0, 9], channels=asked)
    assert len(arrays) == 0 and arrays.channel_offsets.tolist() == [0] and len(arrays.data) == 0
    assert [(i, type(e), str(e)) for i, e in arrays.errors] == [
        (2, IndexError, message), (0, IndexError, message), (9, IndexError, "Index out of bounds")]


def test_pedestal_correction_uses_each_channel_s_own_table(make_acq):
    params, rng = merrowv3.sample_params(), random.Random(2)
    table = [[[float(100 * c + w + s % 5) for s in range(params["samples"])] for w in range(64)] for c in range(4)]
    root = make_acq(params, [merrowv3.sample_event(params, rng) for _ in range(6)],
                    side_files={"pedestals_calibration": {"data": table}})
    acq = vintrel.Acquisition(root)
    full = acq.arrays(pedestals_correction=True).to_numpy()["data"]
    for channels in ([3, 0], [2]):
        part = acq.arrays(pedestals_correction=True, channels=channels)
        assert part.pedestals_corrected
        assert np.array_equal(part.to_numpy()["data"], full[:, channels])


@pytest.mark.parametrize("channels, error, message", [
    ([1, 1], ValueError, "channels must be distinct: 1 is given twice"),
    ([3, 0, 2, 0], ValueError, "channels must be distinct: 0 is given twice"),
    ([-1], OverflowError, None),
    ([0.5], TypeError, "argument 'channels'"),
    ("01", TypeError, None),
    (2, TypeError, None),
])
def test_unusable_channel_lists_are_refused(make_acq, channels, error, message):
    params, rng = merrowv3.sample_params(), random.Random(1)
    acq = vintrel.Acquisition(make_acq(params, [merrowv3.sample_event(params, rng)]))
    with pytest.raises(error) as raised:
        acq.arrays(channels=channels)
    if message:
        assert message in str(raised.value)


@pytest.mark.parametrize("channels", [range(1, 3), (c for c in (1, 2)), np.array([1, 2]), (1, 2), [True, 2]])
def test_any_iterable_of_ints_selects(make_acq, channels):
    params, rng = merrowv3.sample_params(), random.Random(1)
    acq = vintrel.Acquisition(make_acq(params, [merrowv3.sample_event(params, rng) for _ in range(2)]))
    assert np.array_equal(acq.arrays(channels=channels).to_numpy()["data"], acq.arrays().to_numpy()["data"][:, 1:3])
