"""metadata.yml: the native reader agrees with yaml.safe_load on scalars, and
documents of the wrong shape raise the metadata error."""

import pytest
import yaml

import acqwriter
import vintrel

PARAMS_HEAD = "params:\n  model: merrowv3\n"


def one_window_packet(blocks):
    """A merrowv3 packet (samples 1) of one window holding `blocks` blocks of channel 0."""
    words = [0, 0, 0] + [0x0000, 2] * blocks + [0, 0]
    return b"".join(w.to_bytes(2, "big") for w in words)


def write(make_acq, tmp_path, text, name="acq"):
    root = make_acq({"model": "merrowv3", "channels": 1, "windows": 2, "samples": 1}, name=name)
    (root / "metadata.yml").write_text(text)
    return root


def metadata_error_message(exc):
    assert type(exc).__qualname__ == "MetadataError" or type(exc).__name__ == "MetadataError"
    return str(exc)


INT_FORMS = ["16", "+16", "0x10", "0x_1_0", "020", "0_20", "0b10000", "0b1_0000", "1_6", "16_", "0:16", "1:00",
             "1:0:0", "-0", "+0", "0", "00", "18446744073709551615", "!!int '16'", "!!int \"0x10\"", "!!str 16",
             "!!float 16", "'16'", "\"16\"", "0o20", "08", "0x", "0b", "1e3", "16.0", "1.0e+3", ".5", "true", "yes",
             "off", "null", "~", "", "-1", "-0x10", "18446744073709551616", "99999999999999999999999", "1:60",
             "[16]", "{a: 1}", "16 # comment", "0x1G", "1__6", "_16", "+-16", "1:00.5", "2001-12-14"]


@pytest.mark.parametrize("form", INT_FORMS)
def test_channels_is_an_integer_exactly_when_safe_load_reads_a_u64(make_acq, tmp_path, form):
    text = PARAMS_HEAD + f"  channels: {form}\n  windows: 2\n  samples: 1\nregisters: {{}}\n"
    root = write(make_acq, tmp_path, text)
    value = yaml.safe_load(text)["params"]["channels"]
    is_u64 = type(value) is int and 0 <= value < 2**64
    if is_u64:
        acq = vintrel.Acquisition(root)
        assert acq.params["channels"] == value
        if 1 <= value <= 64:
            # The native value drives the parser: a packet with one window of
            # `value` channel blocks is read only when channels == value.
            acqwriter.write_chunk(root, 0, [one_window_packet(value)])
            assert len(acq[0]["data"]) == value
    else:
        with pytest.raises(Exception) as info:
            vintrel.Acquisition(root)
        assert str(info.value) == "Could not process metadata: failed to serialized"


@pytest.mark.parametrize("text", [
    "params: {model: merrowv3, channels: 1, windows: 2, samples: 1}\n",                        # no registers
    "registers: {}\n",                                                                         # no params
    "- a\n- b\n",                                                                               # not a mapping
    "params: [1, 2]\nregisters: {}\n",
    "params: {model: merrowv3, channels: 1, windows: 2, samples: 1}\nregisters: [1]\n",
    "params: {model: 5, channels: 1, windows: 2, samples: 1}\nregisters: {}\n",               # model not a string
    "params: {model: merrowv3, channels: -4, windows: 2, samples: 1}\nregisters: {}\n",
    "params: {model: merrowv3, channels: 1, windows: 2}\nregisters: {}\n",                    # samples missing
    "params: {model: merrowv3, channels: 1, channels: 2, windows: 2, samples: 1}\nregisters: {}\n",
    "params: {model: merrowv3, channels: 1.5, windows: 2, samples: 1}\nregisters: {}\n",
    "params: {model: merrowv3, channels: 1, windows: 2, samples: 1}\nregisters: {}\n"
    "params: {model: merrowv3, channels: 1, windows: 2, samples: 1}\n",                        # params twice
])
def test_documents_that_do_not_match_the_metadata_record(make_acq, tmp_path, text):
    root = write(make_acq, tmp_path, text)
    with pytest.raises(Exception) as info:
        vintrel.Acquisition(root)
    assert type(info.value).__qualname__ == "MetadataError"
    assert type(info.value).__module__ == "acquisition"
    assert str(info.value) == "Could not process metadata: failed to serialized"
    assert isinstance(info.value, Exception)


def test_yaml_syntax_error_is_raised_by_safe_load_unchanged(make_acq, tmp_path):
    root = write(make_acq, tmp_path, "params: [unclosed\n")
    with pytest.raises(yaml.YAMLError):
        vintrel.Acquisition(root)


def test_other_top_level_keys_and_free_params_keys_are_kept(make_acq, tmp_path):
    text = ("comment: anything at all\nparams:\n  model: merrowv3\n  channels: 2\n  windows: 4\n  samples: 8\n"
            "  gain: 3\n  taps: [1, 2, 3]\nregisters: {a: 1, b: [2]}\nnotes: {x: y}\n")
    acq = vintrel.Acquisition(write(make_acq, tmp_path, text))
    assert acq.metadata == yaml.safe_load(text)
    assert list(acq.params) == ["model", "channels", "windows", "samples", "gain", "taps"]


def test_anchors_aliases_and_flow_style_parse(make_acq, tmp_path):
    text = ("defaults: &d {model: merrowv3, channels: 2, windows: 4, samples: 8}\n"
            "params: *d\nregisters: &r {x: 1}\nmore: *r\n")
    acq = vintrel.Acquisition(write(make_acq, tmp_path, text))
    assert acq.params["channels"] == 2


def test_too_deep_document_fails_cleanly(make_acq, tmp_path):
    root = write(make_acq, tmp_path, "params: " + "[" * 2000 + "]" * 2000 + "\nregisters: {}\n")
    with pytest.raises(Exception) as info:
        vintrel.Acquisition(root)
    assert not isinstance(info.value, SystemError)


def test_aliases_share_their_nodes(make_acq, tmp_path):
    # 10^7 values once expanded, as safe_load reads it too: aliases are not copies.
    text = ("a: &a [x, x, x, x, x, x, x, x, x, x]\nb: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a]\n"
            "c: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b, *b]\nd: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c, *c]\n"
            "e: &e [*d, *d, *d, *d, *d, *d, *d, *d, *d, *d]\nf: &f [*e, *e, *e, *e, *e, *e, *e, *e, *e, *e]\n"
            "g: [*f, *f, *f, *f, *f, *f, *f, *f, *f, *f]\n"
            "params: {model: merrowv3, channels: 1, windows: 2, samples: 1, bomb: *f}\nregisters: {}\n")
    assert vintrel.Acquisition(write(make_acq, tmp_path, text)).params["channels"] == 1


# A stray byte, overlong forms, a surrogate, beyond U+10FFFF, a bad or missing continuation byte.
@pytest.mark.parametrize("text", [b"\xff", b"\xc0\x80", b"\xe0\x80\x80", b"\xf0\x80\x80\x80", b"\xed\xa0\x80",
                                  b"\xf4\x90\x80\x80", b"\xe2(\xa1", b"\xe2\x82"])
def test_non_utf8_metadata_is_unreadable(make_acq, tmp_path, text):
    root = write(make_acq, tmp_path, "")
    (root / "metadata.yml").write_bytes(b"params: {model: " + text + b"}")
    with pytest.raises(OSError) as info:
        vintrel.Acquisition(root)
    assert str(info.value) == "Could not read acquisition: failed to read metadata"


def test_metadata_directory_is_unreadable(make_acq, tmp_path):
    root = tmp_path / "dir-meta"
    (root / "metadata.yml").mkdir(parents=True)
    assert vintrel.is_acquisition(root)
    with pytest.raises(OSError) as info:
        vintrel.Acquisition(root)
    assert str(info.value) == "Could not read acquisition: failed to read metadata"
