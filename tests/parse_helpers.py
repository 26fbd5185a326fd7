"""Parsing one raw event through the public surface, shared by the parser tests."""

import pytest

import vintrel

PREFIX = "Failed to parse event: "


def parse(make_acq, params, raw):
    """The parsed dictionary of `raw` in a fresh acquisition with `params`."""
    return vintrel.Acquisition(make_acq(params, [raw])).parsed_event(0)


def parse_error(make_acq, params, raw):
    """The message, without its prefix, of the acquisition.ParsingError that parsing `raw` raises."""
    with pytest.raises(Exception) as info:
        parse(make_acq, params, raw)
    kind = type(info.value)
    assert (kind.__module__, kind.__qualname__) == ("acquisition", "ParsingError")
    assert str(info.value).startswith(PREFIX)
    return str(info.value)[len(PREFIX):]
