"""pytest plugin for coverage runs (scripts/coverage.sh loads it with -p).

gcov writes a process's counts when the process exits through the C
library; a child made by fork() in the tests ends with os._exit, so what ran
only in the child would count as never run. As gcc does for a fork() it
compiled, the child zeroes the counts it inherited (the parent writes them
itself) and has os._exit write its own. Nothing is zeroed in the parent,
whose worker threads may be counting at that moment. The zeroing is a fork
handler registered before the module's own pool handlers, so that what those
run in the child is counted. It needs a coverage build of the module, which
exports gcov's __gcov_dump and __gcov_reset.
"""

from __future__ import annotations

import ctypes
import os
from typing import Any, NoReturn

import vintrel._vintrel

_exit = os._exit


def _gcov() -> Any | None:
    """The module's gcov entry points, when it is a coverage build."""
    path = vintrel._vintrel.__file__
    library = ctypes.CDLL(path) if path else None
    return library if library is not None and hasattr(library, "__gcov_dump") else None


_GCOV = _gcov()


def _exit_with_counts(status: int) -> NoReturn:
    if _GCOV is not None:
        _GCOV.__gcov_dump()
    _exit(status)


def _after_fork_in_child() -> None:
    os._exit = _exit_with_counts


if _GCOV is not None:
    # pthread_atfork itself is linked statically into each program; this is
    # the C library's entry point behind it (no owning object: never removed).
    _reset = ctypes.cast(_GCOV.__gcov_reset, ctypes.c_void_p)
    if ctypes.CDLL(None).__register_atfork(None, None, _reset, None) != 0:
        raise OSError("could not register the fork handler that zeroes a child's counts")
    os.register_at_fork(after_in_child=_after_fork_in_child)
