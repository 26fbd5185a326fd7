"""Absurd board parameters and free keys in metadata.yml.

Every case runs in its own interpreter under an address-space limit and a
timeout, so an abort, an out-of-memory kill or a runaway loop fails that case
without taking the test run down. Allowed outcomes: the call works, or it
raises acquisition.ParsingError (or MemoryError at worst); an export skips
what it cannot parse and so must simply finish.
"""

import json
import os
import random
import subprocess
import sys
import textwrap
import time

import pytest

from encoders import encoder_for

U64 = 2**64 - 1
# Under AddressSanitizer the shadow memory needs a huge address space, so the
# child is limited through the sanitizer's own allocation and RSS limits.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
ADDRESS_LIMIT = 1 << 30
TIMEOUT = 60 if ASAN else 30

# One model string per parser, with the integer keys its parser reads.
BOARDS = {
    "merrowv3": ["n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask", "n_event_headers",
                 "n_window_headers", "n_footer_words", "n_last_bits"],
    "tesslav3": ["databitmask", "chanmask", "chan_shift", "windmask", "n_event_headers", "n_window_headers",
                 "n_footers", "n_last_bits"],
    "fennikv2": ["n_event_headers", "n_window_headers", "n_footers"],
    "tesslav3s": ["n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask", "n_event_headers",
                  "n_footer_words", "n_window_headers", "n_window_footers", "n_last_bits"],
    "pikorv1_evalr2": ["chanmask", "abs_wind_mask", "timing_mask", "timing_shift", "packet_size", "headers"],
    "fennikoc_fennik": ["num_chips", "databitmask", "chanmask", "chan_shift", "windmask", "chip_stop_word",
                        "n_chip_headers", "n_window_headers"],
    "zemil16": ["data_mask", "chanmask", "chan_shift", "windmask", "n_chip_headers", "n_chip_footers",
                "n_window_headers", "n_window_footers"],
    "ostra96": ["num_chips", "n_chip_headers", "n_chip_footers", "n_window_headers", "n_window_footers",
                "data_mask", "chanmask", "chan_shift", "windmask", "n_event_footers"],
    "grenvik": ["n_window_headers", "n_event_headers", "n_footer_words"],
}

# name -> (params overrides, value given to every free key of the board or None)
CASES = {
    "channels_max": ({"channels": U64}, None),
    "windows_max": ({"windows": U64}, None),
    "samples_max": ({"samples": U64}, None),
    "all_max": ({"channels": U64, "windows": U64, "samples": U64}, None),
    "channels_windows_2_32": ({"channels": 2**32, "windows": 2**32}, None),
    "samples_wrap_32": ({"samples": 2**32 + 1}, None),
    "channels_65537": ({"channels": 65537}, None),
    "windows_samples_2_63": ({"windows": 2**63, "samples": 2**63}, None),
    "windows_samples_2_24": ({"windows": 2**24, "samples": 2**24}, None),
    "keys_max": ({}, U64),
    "keys_2_63": ({}, 2**63),
    "keys_2_32": ({}, 2**32),
    "keys_zero": ({}, 0),
    "everything_zero": ({"channels": 0, "windows": 0, "samples": 0}, 0),
    "all_max_keys_max": ({"channels": U64, "windows": U64, "samples": U64}, U64),
}

CHILD = textwrap.dedent("""
    import json, os, resource, sys, time
    if {limit}:
        resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
    import vintrel
    root, out = sys.argv[1], sys.argv[2]
    outcomes = []
    def attempt(what, call):
        start = time.monotonic()
        try:
            call()
            name = "ok"
        except BaseException as e:
            name = type(e).__module__ + "." + type(e).__name__
        outcomes.append([what, name, round(time.monotonic() - start, 3)])
    acq = vintrel.Acquisition(root)
    for i in range(len(acq)):
        attempt("parsed_event(%d)" % i, lambda: acq.parsed_event(i))
    attempt("slice", lambda: acq[0:len(acq)])
    attempt("iteration", lambda: list(acq))
    attempt("export", lambda: vintrel.export_csv(acq, list(range(len(acq))), out, False))
    print(json.dumps(outcomes))
""")

ALLOWED = {"ok", "acquisition.ParsingError", "builtins.MemoryError"}
# Export must finish; while export_csv is not built it says so.
ALLOWED_EXPORT = {"ok", "builtins.MemoryError", "builtins.NotImplementedError"}


def events_for(model, base):
    """A valid event for the board's sample parameters (when it has an encoder)
    and a few bytes that are no event at all."""
    events = [bytes(64), bytes(range(256)) * 4]
    try:
        events.insert(0, encoder_for(model).sample_event(base, random.Random(1)))
    except Exception:
        pass
    return events


def run_child(root, out):
    env = dict(os.environ)
    if ASAN:
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") +
                               ":allocator_may_return_null=1:max_allocation_size_mb=1024:hard_rss_limit_mb=2048")
    code = CHILD.format(limit=0 if ASAN else ADDRESS_LIMIT)
    start = time.monotonic()
    try:
        proc = subprocess.run([sys.executable, "-c", code, str(root), str(out)], env=env, capture_output=True,
                              text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {TIMEOUT}s")
    assert proc.returncode == 0, f"child died ({proc.returncode}):\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1]), time.monotonic() - start


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("model", sorted(BOARDS))
def test_absurd_parameters_fail_cleanly(make_acq, tmp_path, model, case):
    overrides, key_value = CASES[case]
    try:
        base = encoder_for(model).sample_params()
    except Exception:
        base = {"channels": 4, "windows": 8, "samples": 16}
    base = dict(base, model=model)
    params = dict(base, **overrides)
    if key_value is not None:
        params.update({key: key_value for key in BOARDS[model]})
    root = make_acq(params, events_for(model, base))
    out = tmp_path / "out"
    out.mkdir()

    outcomes, _ = run_child(root, out)
    for what, name, seconds in outcomes:
        allowed = ALLOWED_EXPORT if what == "export" else ALLOWED
        assert name in allowed, f"{what}: {name}"
        assert seconds < 10, f"{what} took {seconds}s"


@pytest.mark.parametrize("text", [
    # Larger than 64 bits, negative, float and string counts.
    "params: {model: merrowv3, channels: 18446744073709551616, windows: 8, samples: 4}\nregisters: {}\n",
    "params: {model: merrowv3, channels: -1, windows: 8, samples: 4}\nregisters: {}\n",
    "params: {model: merrowv3, channels: 4.0, windows: 8, samples: 4}\nregisters: {}\n",
    "params: {model: merrowv3, channels: '4', windows: 8, samples: 4}\nregisters: {}\n",
], ids=["over_64_bits", "negative", "float", "string"])
def test_counts_outside_64_bits_are_metadata_errors(tmp_path, text):
    root = tmp_path / "acq"
    root.mkdir()
    (root / "metadata.yml").write_text(text)
    import vintrel
    with pytest.raises(Exception) as info:
        vintrel.Acquisition(root)
    assert type(info.value).__name__ == "MetadataError"
    assert str(info.value) == "Could not process metadata: failed to serialized"


def nested(depth):
    return "params: {model: merrowv3, channels: 1, windows: 2, samples: 1, deep: " + "[" * depth + "]" * depth + "}\n" \
           "registers: {}\n"


def alias_bomb(levels):
    lines = ["a0: &a0 [1, 1, 1, 1, 1, 1, 1, 1, 1, 1]"]
    for i in range(1, levels):
        lines.append(f"a{i}: &a{i} [" + ", ".join([f"*a{i - 1}"] * 10) + "]")
    lines.append(f"params: {{model: merrowv3, channels: 1, windows: 2, samples: 1, bomb: *a{levels - 1}}}")
    lines.append(f"registers: {{r: *a{levels - 1}}}")
    return "\n".join(lines) + "\n"


def nested_anchors(levels, width):
    """Anchors inside anchors around one long list: each would hold a copy of it."""
    inner = "[" + ", ".join(["1"] * width) + "]"
    deep = "".join(f"&n{i} [" for i in range(levels)) + inner + "]" * levels
    return f"params: {{model: merrowv3, channels: 1, windows: 2, samples: 1, deep: {deep}}}\nregisters: {{}}\n"


def merge_bomb(levels):
    lines = ["m0: &m0 {" + ", ".join(f"k{i}: {i}" for i in range(100)) + "}"]
    for i in range(1, levels):
        lines.append(f"m{i}: &m{i} {{<<: [" + ", ".join([f"*m{i - 1}"] * 10) + f"], own{i}: 1}}")
    lines.append(f"params: {{model: merrowv3, channels: 1, windows: 2, samples: 1, <<: *m{levels - 1}}}")
    return "\n".join(lines) + "\nregisters: {}\n"


@pytest.mark.parametrize("text, outcome", [
    (nested(100_000), None), (alias_bomb(9), "ok"), ("params: " + "x" * 5_000_000 + "\n", None),
    (nested_anchors(200, 80_000), "ok"), (merge_bomb(8), "ok")],
    ids=["deep_nesting", "alias_bomb", "huge_scalar", "nested_anchors", "merge_bomb"])
def test_hostile_documents_open_or_fail_in_bounded_time(tmp_path, text, outcome):
    root = tmp_path / "acq"
    root.mkdir()
    (root / "metadata.yml").write_text(text)
    code = textwrap.dedent(f"""
        import resource, sys
        if {0 if ASAN else ADDRESS_LIMIT}:
            resource.setrlimit(resource.RLIMIT_AS, ({ADDRESS_LIMIT}, {ADDRESS_LIMIT}))
        import vintrel
        try:
            vintrel.Acquisition(sys.argv[1])
        except Exception as e:
            print(type(e).__name__)
        else:
            print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", code, str(root)], capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert outcome in (None, proc.stdout.strip())


def alias_chain(chains, depth):
    """Each anchor nests the one before at the bottom of `depth` lists."""
    lines = ["c0: &c0 " + "[" * depth + "1" + "]" * depth]
    lines += [f"c{i}: &c{i} " + "[" * depth + f"*c{i - 1}" + "]" * depth for i in range(1, chains)]
    return "\n".join(lines) + (f"\nparams: {{model: merrowv3, channels: 1, windows: 2, samples: 1, deep: *c{chains - 1}}}"
                               "\nregisters: {}\n")


def test_alias_chains_far_deeper_than_the_nesting_limit(tmp_path):
    # 950,000 levels through aliases. The export reads metadata.yml natively
    # (safe_load would take minutes on it), then frees the chain.
    root = tmp_path / "acq"
    root.mkdir()
    (root / "metadata.yml").write_text("params: {model: merrowv3, channels: 1, windows: 2, samples: 1}\nregisters: {}\n")
    (tmp_path / "chain.yml").write_text(alias_chain(1900, 500))
    code = textwrap.dedent("""
        import os, sys, vintrel
        acq = vintrel.Acquisition(sys.argv[1])
        os.replace(sys.argv[2], os.path.join(sys.argv[1], "metadata.yml"))
        vintrel.export_csv(acq, [], sys.argv[3], False)
        print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", code, str(root), str(tmp_path / "chain.yml"), str(tmp_path)],
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["ok"]
