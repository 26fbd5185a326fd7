"""Module entry: the package, __all__, exception types, panics and one-time initialisation."""

import ctypes
import importlib.machinery
import pickle
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vintrel

ALL = ["Acquisition", "list_acquisitions", "is_acquisition", "export_csv", "syndrome", "global_parity",
       "syndrome_to_index", "ecc_check", "ecc_correct"]


def test_all_lists_the_nine_names_in_registration_order():
    assert vintrel.__all__ == ALL
    for name in ALL:
        assert hasattr(vintrel, name)


@pytest.mark.parametrize("hidden", ["IterEvents", "FullChunkError", "MetadataError", "ParsingError", "ExportError"])
def test_iterator_and_exception_types_are_not_module_attributes(hidden):
    assert not hasattr(vintrel, hidden)


@pytest.mark.parametrize("name,signature", [
    ("list_acquisitions", "(root_dir)"),
    ("is_acquisition", "(path)"),
    ("export_csv", "(acq, indices, out_dir, pedestals_correction)"),
    ("syndrome", "(data)"),
    ("global_parity", "(data)"),
    ("syndrome_to_index", "(s)"),
    ("ecc_check", "(raw_bytes)"),
    ("ecc_correct", "(raw_bytes)"),
])
def test_functions_carry_text_signatures(name, signature):
    import inspect
    assert str(inspect.signature(getattr(vintrel, name))) == signature


def test_docstrings():
    assert vintrel.is_acquisition.__doc__ == "Check if a folder is a valid acquisition."
    assert vintrel.list_acquisitions.__doc__ == "List all acquisitions in a directory."
    assert vintrel.Acquisition.raw_event.__doc__ == "Fetch a raw event as `bytes`."
    assert vintrel.Acquisition.chunk_count.__doc__ == "Get the number of chunks in the acquisition"
    assert vintrel.Acquisition.__name__ == "Acquisition"
    assert vintrel.__doc__


def test_package_presents_the_native_module_as_vintrel():
    native = vintrel._vintrel
    so = Path(native.__file__)
    assert so.parent == Path(vintrel.__file__).parent
    assert any(so.name.endswith(suffix) for suffix in importlib.machinery.EXTENSION_SUFFIXES)
    assert vintrel.__all__ == native.__all__ == ALL
    assert vintrel.__doc__ == native.__doc__ and vintrel.__doc__.strip()
    for name in ALL:
        item = getattr(vintrel, name)
        assert item is getattr(native, name)
        assert item.__module__ == "vintrel", name
        assert pickle.loads(pickle.dumps(item)) is item  # pickled by reference as vintrel.<name>

    panic = vintrel.PanicException
    assert "PanicException" not in vintrel.__all__
    assert (panic.__module__, panic.__qualname__) == ("vintrel", "PanicException")
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    copy = pickle.loads(pickle.dumps(panic("lost expectation")))  # found again by its qualified name
    assert type(copy) is panic and copy.args == ("lost expectation",)

    pyproject = (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    version = re.search(r'^version = "([^"]+)"', pyproject, re.M).group(1)
    assert vintrel.__version__ == version  # a build directory carries the metadata too


def test_import_twice_returns_the_cached_module():
    import importlib
    assert importlib.import_module("vintrel") is vintrel


def test_second_initialisation_raises_import_error():
    init = ctypes.PyDLL(vintrel._vintrel.__file__).PyInit__vintrel
    init.restype = ctypes.py_object
    with pytest.raises(ImportError):
        init()


def test_panic_is_a_base_exception_not_caught_by_except_exception(tmp_path):
    # An acquisition opened as "." has no name: a violated expectation.
    (tmp_path / "metadata.yml").write_text("params: {model: merrowv3, channels: 1, windows: 2, samples: 1}\n"
                                           "registers: {}\n")
    code = (
        "import vintrel, os\n"
        f"os.chdir({str(tmp_path)!r})\n"
        "acq = vintrel.Acquisition('.')\n"
        "try:\n"
        "    acq.name\n"
        "except Exception:\n"
        "    print('caught as Exception')\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "PanicException could not get acquisition name"


@pytest.mark.parametrize("name", ["__version__", "EventArrays", "EccErrorArrays", "export", "ExportReport", "sample",
                                  "plot", "errors", "iterate", "EventBatch", "export_parquet", "ParquetExport"])
def test_each_attribute_made_on_first_use_is_there_right_after_import(name):
    # In a fresh interpreter: nothing else has imported the module behind it yet.
    code = f"import vintrel\nprint(type(vintrel.{name}).__name__, getattr(vintrel, {name!r}) is vintrel.{name})"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0 and out.stdout.split()[-1] == "True", out.stderr[-2000:]
