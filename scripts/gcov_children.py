"""pytest plugin for coverage runs (scripts/coverage.sh loads it with -p).

gcov writes a process's counts when the process exits through the C
library; a child made by fork() in the tests ends with os._exit, so what ran
only in the child would count as never run. As gcc does for a fork() it
compiled, the child zeroes the counts it inherited (the parent writes them
itself) and has os._exit write its own. Nothing is zeroed in the parent,
whose worker threads may be counting at that moment. It needs a coverage
build of the module, which exports gcov's __gcov_dump and __gcov_reset.
"""

from __future__ import annotations

import ctypes
import os
import sys
from typing import Any, NoReturn

_exit = os._exit


def _gcov() -> Any | None:
    """The module's gcov entry points, once a coverage build is imported."""
    module = sys.modules.get("vintrel._vintrel")
    if module is None or module.__file__ is None:
        return None
    library = ctypes.CDLL(module.__file__)
    return library if hasattr(library, "__gcov_dump") else None


def _exit_with_counts(status: int) -> NoReturn:
    gcov = _gcov()
    if gcov is not None:
        gcov.__gcov_dump()
    _exit(status)


def _after_fork_in_child() -> None:
    gcov = _gcov()
    if gcov is not None:
        gcov.__gcov_reset()
    os._exit = _exit_with_counts


os.register_at_fork(after_in_child=_after_fork_in_child)
