"""Waiting for a directory to change: inotify on Linux, a plain sleep elsewhere.

inotify is used through the C library's system-call wrappers, so no module
is needed. One watch on the acquisition directory reports files created,
removed or renamed in it and writes to the files in it (a chunk's data or
index growing). A wait also ends after its timeout whatever happened, so the
caller checks at least that often: changes made on another machine of a
network file system raise no notification here.

VINTREL_FOLLOW_POLLING=1 in the environment turns notifications off (the
polling path, as on platforms without them).
"""

from __future__ import annotations

import ctypes
import os
import select
import sys
import time
from typing import Any, Protocol

# <sys/inotify.h>: the events that mean the directory or a file in it changed.
# Reads, opens and closes without writing are left out: the reader's own
# accesses must not wake it.
IN_MODIFY = 0x00000002
IN_MOVED_FROM = 0x00000040
IN_MOVED_TO = 0x00000080
IN_CREATE = 0x00000100
IN_DELETE = 0x00000200
IN_DELETE_SELF = 0x00000400
IN_MOVE_SELF = 0x00000800
WATCH_MASK = IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF

POLLING_VARIABLE = "VINTREL_FOLLOW_POLLING"
READ_SIZE = 64 * 1024


class Waiter(Protocol):
    """What follow() waits on: `notifies` tells whether a wait can end early."""

    notifies: bool

    def wait(self, seconds: float) -> None:
        """Return after a change or after `seconds`, whichever comes first."""

    def close(self) -> None:
        """Release what the waiter holds; waiting afterwards is not allowed."""


class Sleeper:
    """Waits out the whole timeout: the polling path."""

    notifies = False

    def wait(self, seconds: float) -> None:
        """Sleep `seconds`: without notifications nothing can end it early."""
        time.sleep(seconds)

    def close(self) -> None:
        """Nothing to release."""


class DirectoryWatch:
    """An inotify descriptor watching one directory; wait() returns when it
    reports a change or after the timeout, with the pending reports consumed."""

    notifies = True

    def __init__(self, libc: Any, path: str) -> None:
        self._libc = libc
        self._path = path
        self._fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self._fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1 failed")
        self._identity: tuple[int, int] | None = None
        try:
            self._watch()
        except BaseException:
            os.close(self._fd)
            raise

    def _watch(self) -> None:
        """Add the watch on the directory now at the path and remember its identity."""
        # The watch follows the directory, not its path: if another directory
        # is put in its place, the new one is watched from the next wait on.
        st = os.stat(self._path)
        if self._libc.inotify_add_watch(self._fd, os.fsencode(self._path), WATCH_MASK) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch failed", self._path)
        self._identity = (st.st_dev, st.st_ino)

    def wait(self, seconds: float) -> None:
        """Return after a change is reported or after `seconds`; watch the
        directory anew if another one now stands at the path."""
        ready, _, _ = select.select([self._fd], [], [], seconds)
        if ready:
            self._drain()
        try:
            st = os.stat(self._path)
            if (st.st_dev, st.st_ino) != self._identity:
                self._watch()
        except OSError:
            pass  # gone: the caller finds out when it counts the events

    def _drain(self) -> None:
        """Consume every pending report, so the next wait blocks until a new one."""
        while True:
            try:
                if len(os.read(self._fd, READ_SIZE)) < READ_SIZE:
                    return
            except BlockingIOError:
                return

    def close(self) -> None:
        """Close the inotify descriptor (once; later calls do nothing)."""
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


def _libc() -> Any:
    """The C library with its inotify wrappers typed, or None where there are none."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.inotify_init1.argtypes = [ctypes.c_int]
        libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
        return libc
    except (OSError, AttributeError):
        return None


def open_waiter(path: str) -> Waiter:
    """A DirectoryWatch on `path` when notifications are available, else a Sleeper."""
    if os.environ.get(POLLING_VARIABLE, "") not in ("", "0"):
        return Sleeper()
    libc = _libc()
    if libc is None:
        return Sleeper()
    try:
        return DirectoryWatch(libc, path)
    except OSError:
        # Out of inotify instances or watches (a per-user limit), or the
        # directory is not there: polling still works.
        return Sleeper()
