"""The exception types that vintrel raises, by name, for ``except`` clauses.

They are the very classes the reader raises; each is a direct subclass of
``Exception`` whose qualified name is "acquisition.<Name>".

Examples:
    >>> from vintrel.errors import ParsingError
    >>> try:
    ...     event = acq[1234]
    ... except ParsingError as error:
    ...     print("event 1234 is corrupt:", error)
"""

from ._vintrel import PanicException as PanicException

__all__ = ["ParsingError", "MetadataError", "ExportError", "FullChunkError", "PanicException"]

class ParsingError(Exception):
    """Raw event bytes that the board's parser refuses, or a model string
    that names no supported board: "Failed to parse event: <reason>"."""

class MetadataError(Exception):
    """A ``metadata.yml`` whose document does not describe an acquisition:
    "Could not process metadata: <reason>"."""

class ExportError(Exception):
    """A CSV export that could not be carried out: "Could not export:
    <reason>" (a failure the system reported is its ``__cause__``)."""

class FullChunkError(Exception):
    """A chunk that holds no more events; met only by software that writes
    acquisitions."""
