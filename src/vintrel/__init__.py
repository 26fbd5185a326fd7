# The vintrel package. The reader itself is the native module
# vintrel._vintrel; this file re-exports its names, so that `import vintrel`
# gives the module's class and functions (and its docstring) under the
# package's name. Pure-Python parts of the package are submodules beside it.
import importlib as _importlib
import types as _types

from . import _vintrel
from ._vintrel import *  # noqa: F403  (the names of __all__)
from ._vintrel import PanicException

__doc__ = _vintrel.__doc__
__all__ = _vintrel.__all__

# The native types already report "vintrel" as their module; the functions are
# made to agree, so that help(), pickling and tracebacks name the package.
for _name in __all__:
    _item = globals()[_name]
    if isinstance(_item, _types.BuiltinFunctionType):
        _item.__module__ = __name__
del _name, _item

# Package attributes outside __all__, imported on first use: name ->
# (module, attribute).
_LAZY = {
    "iterate": ("._batches", "iterate"),
    "EventBatch": ("._batches", "EventBatch"),
    "export_parquet": ("._parquet", "export_parquet"),
    "ParquetExport": ("._parquet", "ParquetExport"),
}


def __getattr__(name: str) -> object:
    """The package attributes made on first use: ``__version__``,
    ``EventArrays``, ``EccErrorArrays``, ``export``, ``ExportReport``, ``sample``, ``plot``,
    the ``errors`` submodule, and those of ``_LAZY``."""
    # __version__ is read from the installed distribution on first use, which
    # keeps importlib.metadata out of the import of vintrel itself; the
    # columnar classes, vintrel.sample and vintrel.plot likewise keep numpy out
    # of it until they are used.
    if name in _LAZY:
        module_name, attribute = _LAZY[name]
        value = getattr(_importlib.import_module(module_name, __name__), attribute)
        globals()[name] = value
        return value
    if name == "__version__":
        version = _installed_version()
        globals()["__version__"] = version
        return version
    if name == "errors":
        # The exception types by name (vintrel.errors.ParsingError, ...);
        # importing the submodule makes it this attribute. (Not `from .
        # import errors`, which asks this function for the attribute first,
        # and so on without end.)
        return _importlib.import_module(f"{__name__}.errors")
    if name in ("EventArrays", "EccErrorArrays"):
        from . import _columnar

        value = getattr(_columnar, name)
        globals()[name] = value
        return value
    if name in ("export", "ExportReport"):
        from . import _export_report

        value = getattr(_export_report, name)
        globals()[name] = value
        return value
    if name == "sample":
        from ._sample import sample

        globals()[name] = sample
        return sample
    if name == "plot":
        # The drawing module (importing it sets the attribute); matplotlib
        # itself is imported by its functions.
        import importlib

        return importlib.import_module(f"{__name__}.plot")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _installed_version() -> str:
    """The version of the installed distribution, or "0+unknown"."""
    from importlib import metadata

    try:
        return metadata.version(__name__)
    except metadata.PackageNotFoundError:
        # A development build imported from its build directory has no
        # installed metadata; "0+unknown" sorts below every release.
        return "0+unknown"
