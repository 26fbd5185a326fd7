"""The native metadata reader and yaml.safe_load read metadata.yml alike:
scalar forms, merge keys and recursive aliases, side by side.

The native values are read back through the merrowv3 parser: an event of
one channel block gives a record of `channels` channels, and with
`n_last_bits: 0` its one sample (0xFFFF) comes out as the low 16 bits of the
`datamask` tuning key."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import yaml
from hypothesis import HealthCheck, given, settings, strategies as st

import acqwriter
import vintrel

PACKET = b"".join(w.to_bytes(2, "big") for w in [0, 0, 0, 0x0000, 0xFFFF, 0, 0])
DEFAULT_MASK = 0x1FFF
BASE = "{model: merrowv3, windows: 2, samples: 1, n_last_bits: 0}"


def doc(channels="1", mask="3"):
    return (f"params:\n  model: merrowv3\n  channels: {channels}\n  windows: 2\n  samples: 1\n"
            f"  n_last_bits: 0\n  datamask: {mask}\nregisters: {{}}\n")


def is_u64(v):
    return type(v) is int and 0 <= v < 2**64


def python_view(text):
    """(channels, datamask as the parser should use it) from safe_load, or
    None when safe_load's params are not a valid metadata record."""
    params = yaml.safe_load(text)["params"]
    counts = [params.get(k) for k in ("channels", "windows", "samples")]
    if not isinstance(params.get("model"), str) or not all(map(is_u64, counts)):
        return None
    mask = params.get("datamask")
    return params["channels"], mask & 0xFFFF if type(mask) is int and mask >= 0 else DEFAULT_MASK


def native_view(root, text):
    (root / "metadata.yml").write_text(text, encoding="utf-8")
    event = vintrel.Acquisition(root)[0]
    return len(event["data"]), int(event["data"][0][0])


def assert_same_view(root, text):
    try:
        expected = python_view(text)
    except Exception as e:  # safe_load refuses: opening raises the same
        with pytest.raises(type(e)):
            native_view(root, text)
        return
    if expected is None:
        with pytest.raises(Exception) as info:
            native_view(root, text)
        assert str(info.value) == "Could not process metadata: failed to serialized"
    elif not 1 <= expected[0] <= 65536:  # opens, but no record has that many channels
        with pytest.raises(Exception, match="Failed to parse event"):
            native_view(root, text)
    else:
        assert native_view(root, text) == expected, text


@pytest.fixture
def root(tmp_path):
    path = tmp_path / "acq"
    path.mkdir()
    acqwriter.write_chunk(path, 0, [PACKET])
    return path


FORMS = ["! 16", "! '16'", "!!int ' 16 '", "!!int '_16'", "!!int '+_16'", "!!int '1:3_0'", "!!int '1:99'",
         "!!int '１６'", "!!int '١٦'", "!!int '\U0001D7CF\U0001D7D4'", "!!int '0x0x10'", "!!int '--16'",
         "!!int '-+16'", "!!int '0o20'", "!!int '0O20'", "!!int ' 0:16'", "!!int '1:-44'", "!!int '-1:-44'",
         '! "16\\n"', '! "\\u3000 16\\t"', "!!int '0x 10'", "!!int '0b 1_0000'", "!!int '0 '", "!!int '1:1:1:1:1:1:1:1:1:1:1:1'",
         "!!int '0X10'", "!!int ''", "!!int '0x'", "!!int '1:'", "!!int '1_6.0'", "!!int '0b102'",
         "!<tag:yaml.org,2002:int> '16'", "!<!> 16", "! 0x_10", "! 1:16", "! '1:99'", "! '0_8'",
         "!!float 16", "!!bool 16", "!!str 16", "!!null 16", "! yes", "!!bool 'yEs'", "2001-12-14",
         "!!binary 'FACE'", "! \"~\\n\"", "1_6", "0b1_0000", "-0", "'16'", "1:16", "16.", ".16e+2",
         "!foo 16", "!foo '16'", "!!int '" + "1:" * 6000 + "-7:5'", "!!int '-" + "59:" * 6000 + "-1'",
         '!!int "\\t\\v\\f\\x85\\xa0\\u1680\\u2000\\u200a16\\u2028\\u2029\\u202f\\u205f\\u3000\\r"',
         '!!int "\\x1b16"', '!!int "16\\u2060"', "!!int '0xaF'", "!!int '0xag'", "!!int '0xAg'", "!!int '09'",
         "!!int '-1:60'", "!!int '1:-60'", "!!int '100000000000:-5'", "!!int '2:-121'", "!!int '71582788:16'",
         "!!int '71582788:-4294967296'", "!!int '1:" + "9" * 4301 + "'"]
# Timestamps and near misses: each fails the pattern at a different place.
STAMPS = ["2001-12-14t21:59:43.10-05:00", "2001-12-14 1:59:43.10 -5", "2001-12-14T21:59:43Z", "2001-12-14 21:59:43 Z",
          "2001-12-14T21:59:43.", "! '2001-12-14T21:59:43 '", "2001-12-14T21:59:43Zx", "2001-12-14T21:59:43x",
          "2001-12-14T21:59:43+", "2001-12-14T21:59:43+05:3", "2001-12-14T21:59:43+5x", "2001-12-14T21:59:4",
          "2001-12-14T21:59-43", "2001-12-14T21:5:43", "2001-12-14T21-59:43", "2001-12-14T:59:43", "2001-12-14x1:59:43",
          "2001-12-x", "2001--14", "2001-1-14", "2001-12-1", "201-12-14", "2001-12-14T99:59:43", "2001-13-14 1:00:00",
          "!!timestamp 2001-12-14", "! '2001-12-14 21:59:43.10'"]


@pytest.mark.parametrize("form", FORMS + STAMPS)
def test_scalar_forms_read_as_safe_load_reads_them(root, form):
    assert_same_view(root, doc(channels=form))
    assert_same_view(root, doc(mask=form))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tag=st.sampled_from(["!!int ", "! ", "!!float ", ""]),
       body=st.text("0123456789_+-:.xobOX e\n\t\u00a0\u3000\uff11\u0661\u0966\U0001D7CF", max_size=12),
       quote=st.booleans())
def test_random_scalars_read_as_safe_load_reads_them(root, tag, body, quote):
    text = '"' + body.replace("\n", "\\n").replace("\t", "\\t") + '"' if quote else body
    assert_same_view(root, doc(mask=tag + text))


MERGES = {
    "alias": f"b: &b {BASE}\nparams: {{<<: *b, channels: 3, datamask: 7}}\nregisters: {{}}\n",
    "explicit_wins": f"b: &b {{channels: 9, datamask: 9}}\nparams: {{<<: [*b, {BASE}], channels: 4}}\nregisters: {{}}\n",
    "explicit_first": f"b: &b {{channels: 9, datamask: 9}}\nparams: {{channels: 4, <<: *b, <<: {BASE}}}\nregisters: {{}}\n",
    "sequence_conflict": f"params: {{<<: [{BASE}, {{channels: 5, datamask: 1}}, {{channels: 6, datamask: 2}}]}}\nregisters: {{}}\n",
    "two_merge_keys": f"params:\n  <<: {BASE}\n  <<: {{channels: 7}}\n  <<: {{channels: 8, datamask: 5}}\nregisters: {{}}\n",
    "same_key_node": f"params: {{<<: [{{&k channels: 2, datamask: 4}}, {{*k : 3}}, {BASE}]}}\nregisters: {{}}\n",
    "same_mapping_twice": f"b: &b {{channels: 2}}\nc: &c {{<<: *b, datamask: 6}}\nparams: {{<<: [*b, *c, *b, {BASE}]}}\nregisters: {{}}\n",
    "chain": f"a: &a {BASE}\nb: &b {{<<: *a, channels: 2}}\nc: &c {{<<: *b, datamask: 8}}\nparams: {{<<: *c}}\nregisters: {{}}\n",
    "top_level": f"p: &p {{<<: {BASE}, channels: 2}}\n<<: {{params: *p, registers: {{}}}}\n",
    "top_level_overridden": f"<<: {{params: {{channels: 9}}}}\nparams: {{<<: {BASE}, channels: 2}}\nregisters: {{}}\n",
    "non_specific_tag": f"params: {{! <<: {BASE}, channels: 2}}\nregisters: {{}}\n",
    "quoted_non_specific": f"params: {{! '<<': {BASE}, channels: 2}}\nregisters: {{}}\n",
    "merge_tag": f"params: {{!!merge x: {BASE}, channels: 2}}\nregisters: {{}}\n",
    "quoted_is_a_key": f"params: {{'<<': {BASE}, channels: 2}}\nregisters: {{}}\n",
    "empty_sequence": f"params: {{<<: [], <<: {BASE}, channels: 2}}\nregisters: {{}}\n",
    "set_merged": f"params: {{<<: !!set {{datamask}}, <<: {BASE}, channels: 2}}\nregisters: {{}}\n",
    "self_merge": f"params: &p {{<<: *p, <<: {BASE}, channels: 2}}\nregisters: {{}}\n",
    "recursive_free_key": f"params: {{<<: {BASE}, channels: 2, loop: &l [1, *l], map: &m {{m: *m}}}}\nregisters: {{}}\n",
    "recursive_registers": f"params: {{<<: {BASE}, channels: 2}}\nregisters: &r {{a: 1, self: *r, list: [*r]}}\n",
    "registers_is_top": f"&top\nparams: {{<<: {BASE}, channels: 2}}\nregisters: *top\n",
    "one_character_keys": f"params: {{<<: [{{a: 1, '': 2, é: 3}}, {{a: 5, '': 6, é: 7}}, {BASE}], channels: 2}}\nregisters: {{}}\n",
    "merge_from_enclosing": f"params: &p {{<<: {BASE}, channels: 2, sub: {{<<: *p}}, seq: &s [{{<<: *s}}]}}\nregisters: {{}}\n",
}


@pytest.mark.parametrize("name", sorted(MERGES))
def test_merge_keys_read_as_safe_load_reads_them(root, name):
    assert_same_view(root, MERGES[name])


# PyYAML up to 6.0.3 merges the mappings of a sequence last to first.
OLD_FLATTEN = """
import yaml
from yaml.nodes import SequenceNode
def flatten_mapping(self, node):
    merge, index = [], 0
    while index < len(node.value):
        key_node, value_node = node.value[index]
        if key_node.tag != "tag:yaml.org,2002:merge":
            index += 1
            continue
        del node.value[index]
        for sub in value_node.value[::-1] if isinstance(value_node, SequenceNode) else [value_node]:
            self.flatten_mapping(sub)
            merge.extend(sub.value)
    node.value = merge + node.value
yaml.constructor.SafeConstructor.flatten_mapping = flatten_mapping
"""


def test_merge_keys_follow_the_pyyaml_in_use(root):
    code = OLD_FLATTEN + textwrap.dedent(f"""
        import sys
        sys.path[:0] = [{str(Path(__file__).parent)!r}, {str(Path(acqwriter.__file__).parent)!r}]
        from pathlib import Path
        import test_yaml_views as t
        for name, text in t.MERGES.items():
            t.assert_same_view(Path({str(root)!r}), text)
        print(yaml.safe_load(t.MERGES["sequence_conflict"])["params"]["channels"])
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["5"]  # the old order was in force (6.0.4 gives 6)


@pytest.mark.parametrize("merge", ["5", "~", "[1]", "[{a: 1}, x]", "'text'"])
def test_merge_of_no_mapping_is_a_metadata_error(root, tmp_path, merge):
    (root / "metadata.yml").write_text(doc())
    acq = vintrel.Acquisition(root)
    # The export reads the file anew, without the Python view.
    (root / "metadata.yml").write_text(f"params: {{<<: {merge}, <<: {BASE}, channels: 1}}\nregisters: {{}}\n")
    with pytest.raises(yaml.YAMLError):
        yaml.safe_load((root / "metadata.yml").read_text())
    with pytest.raises(Exception) as info:
        vintrel.export_csv(acq, [0], str(tmp_path), False)
    assert str(info.value) == "Could not process metadata: failed to serialized"


# Documents safe_load refuses still reach the native reader when the export
# reads the file anew: it refuses them too, or (an unknown tag) looks through.
@pytest.mark.parametrize("text, message", [
    (doc(channels="[1"), "failed to serialized"), (doc(channels="!!bool 16"), "failed to serialized"),
    (doc(channels="!!int '1.5'"), "failed to serialized"), (doc(channels="!foo 1"), None),
    (doc(channels="!foo '1'"), "failed to serialized"),
])
def test_the_export_reads_what_safe_load_refuses(root, tmp_path, text, message):
    (root / "metadata.yml").write_text(doc())
    acq = vintrel.Acquisition(root)
    (root / "metadata.yml").write_text(text)
    if message is None:
        pytest.raises(yaml.YAMLError, yaml.safe_load, text)
        vintrel.export_csv(acq, [0], str(tmp_path), False)
        assert (tmp_path / "acq (chunk 0).csv").read_text().startswith("acq_num,evt_num,")
        return
    with pytest.raises(Exception) as info:
        vintrel.export_csv(acq, [0], str(tmp_path), False)
    assert str(info.value) == "Could not process metadata: " + message
