"""What an analyst's first lines of Python meet: iteration that stops with a
warning, export_csv's pedestal warning and index forms, the exception types
by name, repr and the notebook table, with-blocks, path objects, signatures
and docstrings, and the quick start run as written."""

import importlib
import importlib.util
import inspect
import json
import os
import pathlib
import pkgutil
import random
import subprocess
import sys

import pytest

import acqwriter
import vintrel
import vintrel.errors
from encoders import merrowv3

REPO = pathlib.Path(__file__).resolve().parent.parent
PARAMS = merrowv3.sample_params(channels=1, windows=2, samples=1)


def events(n, bad=()):
    out = [merrowv3.sample_event(PARAMS, random.Random(i)) for i in range(n)]
    for i in bad:
        out[i] = b"\x01"  # cannot be parsed
    return out


def run_python(code, *args, flags=()):
    """(exit status, stdout, stderr) of `code` run by a fresh interpreter."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    proc = subprocess.run([sys.executable, *flags, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=env)
    return proc.returncode, proc.stdout, proc.stderr


# --- iteration ---------------------------------------------------------------

ITERATE = """
import json, sys, warnings, vintrel
acq = vintrel.Acquisition(sys.argv[1])
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    count = sum(1 for _ in acq)
print(json.dumps([count, [(w.category.__name__, str(w.message)) for w in caught]]))
"""


def truncate_data(root):
    """Cuts the last event's bytes off the data file; its index entry stays."""
    data = root / "0.bin"
    data.write_bytes(data.read_bytes()[:-1])


@pytest.mark.parametrize("count,bad,damage,read,warning", [
    (6, (), None, 6, None),
    (0, (), None, 0, None),
    (7, (5,), None, 5, "iteration stopped at event 5 of 7, which cannot be read or parsed: "
                       "acquisition.ParsingError: Failed to parse event: "),
    (3, (0,), None, 0, "iteration stopped at event 0 of 3, "),
    (4, (), truncate_data, 3, "iteration stopped at event 3 of 4, which cannot be read or parsed: "
                              "IndexError: Index out of bounds"),
])
def test_iteration_warns_once_when_it_stops_at_an_event_that_exists(make_acq, count, bad, damage, read, warning):
    root = make_acq(PARAMS, events(count, bad))
    if damage:
        damage(root)
    status, out, err = run_python(ITERATE, root)
    assert status == 0, err
    got_count, caught = json.loads(out)
    assert got_count == read
    if warning is None:
        assert caught == []
    else:
        assert len(caught) == 1 and caught[0][0] == "RuntimeWarning"
        assert caught[0][1].startswith(warning)


@pytest.mark.parametrize("flags,status,says", [
    ((), 0, "RuntimeWarning: iteration stopped at event 2 of 4"),
    (("-W", "error::RuntimeWarning"), 1, "RuntimeWarning: iteration stopped at event 2 of 4"),
    (("-W", "ignore::RuntimeWarning"), 0, None),
])
def test_iteration_warning_follows_the_warning_filters(make_acq, flags, status, says):
    root = make_acq(PARAMS, events(4, bad=(2,)))
    code = "import sys, vintrel\nprint(len(list(vintrel.Acquisition(sys.argv[1]))))"
    got, out, err = run_python(code, root, flags=flags)
    assert got == status
    if status == 0:
        assert out.strip() == "2"
    assert (says in err) if says else err == ""


# --- export_csv ----------------------------------------------------------------

EXPORT = """
import sys, os, vintrel
acq = vintrel.Acquisition(sys.argv[1])
os.makedirs(sys.argv[2], exist_ok=True)
vintrel.export_csv(acq, range(len(acq)), sys.argv[2], sys.argv[3] == "True")
print(sorted(os.listdir(sys.argv[2])))
"""


@pytest.mark.parametrize("side_files,correct,flags,status,warned", [
    ({}, True, (), 0, "RuntimeWarning: export_csv(): no pedestals_calibration file"),
    ({}, True, ("-W", "error::RuntimeWarning"), 1, "RuntimeWarning: export_csv(): no pedestals_calibration file"),
    ({}, False, ("-W", "error::RuntimeWarning"), 0, None),
    ({"pedestals_calibration": {"data": [[[1.0], [2.0]]]}}, True, ("-W", "error::RuntimeWarning"), 0, None),
])
def test_export_warns_when_the_correction_asked_for_has_no_file(make_acq, tmp_path, side_files, correct, flags,
                                                                 status, warned):
    root = make_acq(PARAMS, events(3), side_files=side_files)
    got, out, err = run_python(EXPORT, root, tmp_path / "out", correct, flags=flags)
    assert got == status, err
    if warned:
        assert err.count(warned) == 1
    else:
        assert err == ""
    # Under -W error the warning comes after the export: its file is there.
    assert os.listdir(tmp_path / "out") == [f"{root.name} (chunk 0).csv"]


def exported(acq, indices, out):
    out.mkdir()
    vintrel.export_csv(acq, indices, out, False)
    return (out / f"{acq.name} (chunk 0).csv").read_text() if os.listdir(out) else None


@pytest.mark.parametrize("indices,same_as", [
    (slice(None), range(7)),
    (slice(2, 5), [2, 3, 4]),
    (slice(1, None, 3), [1, 4]),
    (slice(-2, None), [5, 6]),
    (slice(5, 100), [5, 6]),
    (slice(4, 2), []),
    (range(6, 0, -2), [6, 4, 2]),
    ((0, 3), [0, 3]),
])
def test_export_takes_a_slice_or_range_as_arrays_does(make_acq, tmp_path, indices, same_as):
    acq = vintrel.Acquisition(make_acq(PARAMS, events(7), name="run7"))
    assert exported(acq, indices, tmp_path / "a") == exported(acq, list(same_as), tmp_path / "b")
    if isinstance(indices, slice):
        assert acq.arrays(indices).index.tolist() == list(same_as)


@pytest.mark.parametrize("indices,error,match", [
    (slice(None, None, -1), IndexError, "index out of bounds"),
    (slice(None, None, 0), ValueError, "slice step cannot be zero"),
    (slice("a", None), TypeError, "slice indices"),
    ("012", TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    (range(-1, 2), OverflowError, None),
])
def test_export_refuses_what_arrays_refuses(make_acq, tmp_path, indices, error, match):
    acq = vintrel.Acquisition(make_acq(PARAMS, events(3)))
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(error, match=match):
        vintrel.export_csv(acq, indices, out, False)
    assert os.listdir(out) == []


# --- exception types by name --------------------------------------------------

ERRORS = """
import sys, vintrel
root, first = sys.argv[1:]
acq = vintrel.Acquisition(root)
def provoke():
    try:
        acq[2]
    except Exception as e:
        return type(e)
if first == "import":
    import vintrel.errors
    raised = provoke()
elif first == "raise":
    raised = provoke()
    import vintrel.errors
elif first == "reload":
    import importlib, vintrel.errors
    raised = provoke()
    importlib.reload(vintrel.errors)
elif first == "hostile":
    sys.modules["vintrel.errors"] = type(sys)("vintrel.errors")  # a module without the classes
    raised = provoke()
    del sys.modules["vintrel.errors"]
    import vintrel.errors
print(raised.__module__, raised.__qualname__, raised is vintrel.errors.ParsingError, raised.__doc__,
      raised.__bases__ == (Exception,))
"""


@pytest.mark.parametrize("first,same", [("import", True), ("raise", True), ("reload", True), ("hostile", False)])
def test_errors_module_holds_the_very_types_raised(make_acq, first, same):
    root = make_acq(PARAMS, events(4, bad=(2,)))
    status, out, err = run_python(ERRORS, root, first)
    assert status == 0, err
    # A package that cannot give the class still gets an exception of the name.
    assert out.split() == ["acquisition", "ParsingError", str(same), "None", "True"]


def refusing_metadata(tmp_path):
    root = tmp_path / "nometa"
    root.mkdir()
    (root / "metadata.yml").write_text("params: {model: merrowv3}\n")  # no registers
    vintrel.Acquisition(root)


@pytest.mark.parametrize("name,provoke", [
    ("ParsingError", lambda acq, tmp_path: acq[2]),
    ("ParsingError", lambda acq, tmp_path: acq.parsed_event(2)),
    ("ExportError", lambda acq, tmp_path: vintrel.export_csv(acq, [0], tmp_path / "missing", False)),
    ("MetadataError", lambda acq, tmp_path: refusing_metadata(tmp_path)),
])
def test_errors_are_caught_by_name(make_acq, tmp_path, name, provoke):
    acq = vintrel.Acquisition(make_acq(PARAMS, events(4, bad=(2,))))
    kind = getattr(vintrel.errors, name)
    with pytest.raises(kind) as info:
        provoke(acq, tmp_path)
    assert type(info.value) is kind
    assert f"{kind.__module__}.{kind.__qualname__}" == f"acquisition.{name}"


@pytest.mark.parametrize("name", ["ParsingError", "MetadataError", "ExportError", "FullChunkError"])
def test_error_types_are_plain_exception_classes(name):
    kind = getattr(vintrel.errors, name)
    assert kind.__bases__ == (Exception,) and kind.__doc__ is None and kind.__module__ == "acquisition"
    assert name in vintrel.errors.__all__ and not hasattr(vintrel._vintrel, name)
    assert vintrel.errors.PanicException is vintrel.PanicException


# --- repr and notebooks ---------------------------------------------------------

@pytest.mark.parametrize("count,chunk_size,expected", [
    (2500, 1000, "merrowv3, 3 chunks, 2,500 events"),
    (1, None, "merrowv3, 1 chunk, 1 event"),
    (0, None, "merrowv3, 0 chunks, 0 events"),
])
def test_repr_counts_chunks_and_events(make_acq, count, chunk_size, expected):
    root = make_acq(PARAMS, events(count), name="run7", chunk_size=chunk_size)
    acq = vintrel.Acquisition(root)
    assert repr(acq) == f"<vintrel.Acquisition 'run7' {expected} at '{root}'>"


def unreadable_chunk(root):
    (root / "0.idx").unlink()
    (root / "0.idx").mkdir()  # a chunk file that is no regular file


@pytest.mark.parametrize("damage,says", [
    (unreadable_chunk, "<vintrel.Acquisition 'run7' None at '{root}': unreadable (FileNotFoundError: Invalid path)>"),
    (None, "<vintrel.Acquisition 'run7' None, 1 chunk, 2 events at '{root}'>"),
])
def test_repr_never_raises(make_acq, damage, says):
    root = make_acq(PARAMS, events(2), name="run7")
    acq = vintrel.Acquisition(root)
    acq.metadata["params"] = [1]  # params that are not a mapping
    if damage:
        damage(root)
    assert repr(acq) == says.format(root=root)
    assert "<table>" in acq._repr_html_()


def test_repr_html_lists_what_the_acquisition_holds(make_acq):
    params = {**PARAMS, "note": "<b>&"}
    root = make_acq(params, events(3), name="run<7>", side_files={"timing_calibration": [1, 2]})
    page = vintrel.Acquisition(root)._repr_html_()
    for text in ("<th style=\"text-align:left\">model</th>", ">merrowv3<", ">board<", ">chunks<", ">1<",
                 ">events<", ">3<", "note: &lt;b&gt;&amp;", ">timing_calibration<", "run&lt;7&gt;"):
        assert text in page
    assert "<b>&" not in page and "pedestals_calibration" not in page


@pytest.mark.parametrize("count,bad,correct,expected", [
    (4, (1,), False, "3 events, 3 samples in 3 channels, 1 left out, not pedestal-corrected"),
    (1200, (), True, "1,200 events, 1,200 samples in 1,200 channels, 0 left out, pedestals subtracted"),
    (0, (), False, "0 events, 0 samples in 0 channels, 0 left out, not pedestal-corrected"),
])
def test_event_arrays_repr_gives_sizes(make_acq, count, bad, correct, expected):
    acq = vintrel.Acquisition(make_acq(PARAMS, events(count, bad),
                                       side_files={"pedestals_calibration": {"data": [[[1.0], [2.0]]]}}))
    assert repr(acq.arrays(pedestals_correction=correct)) == f"<vintrel.EventArrays {expected}>"


# --- with-blocks and paths ------------------------------------------------------

def test_with_block_gives_the_acquisition_and_leaves_it_usable(make_acq):
    root = make_acq(PARAMS, events(3), chunk_size=2)
    with vintrel.Acquisition(root) as acq:
        assert isinstance(acq, vintrel.Acquisition)
        before = len(acq)
    assert acq.__exit__(None, None, None) is False
    acqwriter.write_chunk(root, 2, events(4))  # seen after the release as before it
    assert (before, len(acq), acq.chunk_count, acq[5]["data"] == acq.parsed_event(5)["data"]) == (3, 7, 3, True)
    with pytest.raises(KeyError):
        with acq:
            raise KeyError("passes through")
    with pytest.raises(TypeError):
        acq.__exit__(1, 2, 3, 4)


class StrPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("make_path", [
    str, pathlib.Path, pathlib.PurePosixPath, lambda p: StrPath(str(p)), lambda p: StrPath(os.fsencode(p)),
    lambda p: next(e for e in os.scandir(os.path.dirname(p)) if e.name == os.path.basename(p)),
    lambda p: next(e for e in os.scandir(os.fsencode(os.path.dirname(p))) if e.name == os.fsencode(p.name)),
])
def test_path_like_objects_are_taken_wherever_paths_are(make_acq, tmp_path, make_path):
    root = make_acq(PARAMS, events(2), name="run7")
    acq = vintrel.Acquisition(make_path(root))
    assert acq.path == str(root) and vintrel.is_acquisition(make_path(root))
    assert [a.path for a in vintrel.list_acquisitions(make_path(root.parent))] == [str(root)]
    out = tmp_path / "out"
    out.mkdir()
    vintrel.export_csv(acq, [0], make_path(out), False)
    assert os.listdir(out) == ["run7 (chunk 0).csv"]


# --- signatures and docstrings ------------------------------------------------

def public_callables():
    import vintrel.cli

    yield from (getattr(vintrel, name) for name in vintrel.__all__)
    yield from (getattr(vintrel.Acquisition, name) for name in dir(vintrel.Acquisition)
                if not name.startswith("_") and callable(getattr(vintrel.Acquisition, name)))
    yield from (vintrel.Acquisition.__enter__, vintrel.Acquisition.__exit__, vintrel.Acquisition._repr_html_)
    for cls in (vintrel.EventArrays, vintrel.EccErrorArrays):
        yield cls
        yield from (member for name, member in vars(cls).items() if not name.startswith("_") and callable(member))
    yield vintrel.cli.main


@pytest.mark.parametrize("item", list(public_callables()), ids=lambda item: getattr(item, "__qualname__", "?"))
def test_every_public_callable_has_a_signature(item):
    inspect.signature(item)


# Modules of the package that import an optional dependency, and that dependency.
OPTIONAL_MODULES = {"vintrel.dask": "dask"}


def package_modules():
    """Every module of the package, those of optional extras when installed."""
    names = ["vintrel"]
    for info in pkgutil.walk_packages(vintrel.__path__, "vintrel."):
        needs = OPTIONAL_MODULES.get(info.name)
        if needs is None or importlib.util.find_spec(needs) is not None:
            names.append(info.name)
    return names


@pytest.mark.parametrize("name", package_modules())
def test_every_python_function_and_class_has_a_docstring(name):
    module = importlib.import_module(name)
    missing = []

    def undocumented(value):
        doc = (value.__doc__ or "").strip()
        # NamedTuple and dataclass write a docstring of their own: the class's signature.
        return not doc or (inspect.isclass(value) and doc.startswith(value.__name__ + "("))

    def walk(namespace, prefix):
        for key, value in vars(namespace).items():
            if isinstance(value, property):
                value = value.fget
            if getattr(value, "__module__", None) != name or not (inspect.isclass(value) or inspect.isfunction(value)):
                continue
            if not value.__qualname__.startswith(prefix) or (key.startswith("__") and key.endswith("__")):
                continue
            if undocumented(value):
                missing.append(value.__qualname__)
            if inspect.isclass(value):
                walk(value, value.__qualname__ + ".")

    assert module.__doc__
    walk(module, "")
    assert missing == []


# --- the quick start ------------------------------------------------------------

def test_quick_start_runs_as_written_on_a_fresh_sample(tmp_path):
    params = merrowv3.sample_params()
    rng = random.Random(7)
    root = acqwriter.write_acquisition(tmp_path / "data" / "run7", params,
                                       [merrowv3.sample_event(params, rng) for _ in range(250)], chunk_size=100,
                                       side_files={"pedestals_calibration": {"data": [[[100.0] * 64] * 16] * 4}})
    out = tmp_path / "out"
    code = (REPO / "examples" / "quick_start.py").read_text()
    assert '"/data/run7"' in code and '"/tmp/out"' in code
    code = code.replace("/data/run7", str(root)).replace("/tmp/out", str(out))
    status, stdout, err = run_python(code, flags=("-W", "error"))
    assert status == 0, err
    assert stdout.startswith(f"<vintrel.Acquisition 'run7' merrowv3, 3 chunks, 250 events at '{root}'>\n")
    assert sorted(os.listdir(out)) == ["run7 (chunk 0).csv"]
