"""The exception types that vintrel raises, by name, for ``except`` clauses.

These are the very classes the reader raises (its types are taken from
here), so that::

    from vintrel.errors import ParsingError

    try:
        event = acq[1234]
    except ParsingError as error:
        print("event 1234 is corrupt:", error)

catches what ``acq[1234]`` raises for an event whose bytes the board's parser
refuses. Each is a direct subclass of ``Exception`` whose qualified name is
"acquisition.<Name>", as tracebacks show it:

- ``ParsingError``: raw event bytes that the board's parser refuses, or a
  model string that names no supported board ("Failed to parse event: ...").
- ``MetadataError``: a ``metadata.yml`` whose document does not describe an
  acquisition ("Could not process metadata: ...").
- ``ExportError``: a CSV export that could not be carried out
  ("Could not export: ..."; a failure the system reported is the exception's
  ``__cause__``).
- ``FullChunkError``: a chunk that holds no more events; only software that
  writes acquisitions meets it.

``PanicException``, a violated internal expectation, is a subclass of
``BaseException`` so that ``except Exception`` lets it through; it is here
too, and is ``vintrel.PanicException``.

Failures of the file system and of the arguments are Python's own types:
``FileNotFoundError`` ("Invalid path") for a directory that is not an
acquisition, ``OSError``, ``IndexError``, ``TypeError``, ``ValueError``,
``OverflowError``.
"""

from __future__ import annotations

from ._vintrel import PanicException

__all__ = ["ParsingError", "MetadataError", "ExportError", "FullChunkError", "PanicException"]


def _exception_type(name: str) -> type[Exception]:
    """The class "acquisition.<name>": made on the first import of this
    module and kept by a reload of it, since the reader holds the classes it
    took from here for the life of the process."""
    kept = globals().get(name)
    if isinstance(kept, type) and issubclass(kept, Exception) and kept.__module__ == "acquisition":
        return kept
    # No docstring and nothing but the name: a plain exception class.
    return type(name, (Exception,), {"__module__": "acquisition"})


FullChunkError = _exception_type("FullChunkError")
MetadataError = _exception_type("MetadataError")
ParsingError = _exception_type("ParsingError")
ExportError = _exception_type("ExportError")
