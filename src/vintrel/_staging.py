"""Staging directories of the cluster export's file tasks.

An attempt at file k of an acquisition stages it in
".<name> (chunk k).vintrel-<pid>-<token>.tmp" inside the target (a long name
cut short), holding an exclusive lock on the file LOCK inside it for as long
as it runs. The lock goes with its process, also when that process is
killed; so a staging directory whose lock can be taken belongs to an attempt
that has ended, and a later attempt removes it.

The directory is made under the name ".<...>.vintrel-<pid>-<token>.<host>.new"
and renamed once its lock is held. A process killed in that short window
leaves a directory that no lock speaks for; a later attempt on the same host
(same host name, boot and pid namespace) removes it once no process of that
pid runs. Those of other hosts are left: a pid says nothing there.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import os
import re
import secrets

LOCK = "vintrel-staging.lock"


def _stem(name: str, k: int) -> str:
    """The start of every staging directory's name for file k of acquisition `name`."""
    # At most 150 bytes of the name, which leaves room for the rest within
    # the 255 bytes a file name may have.
    return f".{os.fsdecode(os.fsencode(name)[:150])} (chunk {k}).vintrel-"


def _pattern(name: str, k: int) -> re.Pattern[str]:
    """The whole names of the staging directories this module makes for file k."""
    return re.compile(re.escape(_stem(name, k)) + r"[0-9]+-[0-9a-f]{16}\.tmp")


def _making_pattern(name: str, k: int) -> re.Pattern[str]:
    """The names of those directories while they are being made: pid and host."""
    return re.compile(re.escape(_stem(name, k)) + r"([0-9]+)-[0-9a-f]{16}\.([0-9a-f]{16})\.new")


def _staged_names(name: str) -> re.Pattern[str]:
    """What a staging directory holds: its lock, the exported file and the
    export's own temporary files."""
    final = f"{name} (chunk 0).csv"
    # The export's temporary names keep at most 200 bytes of the final name
    # and then name the machine (16 hex digits; absent in older versions),
    # the process and a number.
    kept = os.fsdecode(os.fsencode(final)[:200])
    temporary = f"\\.{re.escape(kept)}\\.(?:[0-9a-f]{{16}}\\.)?[0-9]+\\.[0-9]+\\.tmp"
    return re.compile(f"{re.escape(LOCK)}|{re.escape(final)}|{temporary}")


def _first_line(path: str) -> str:
    """The first line of a short file (of /proc), or "" if it cannot be read."""
    try:
        with open(path, "rb") as file:
            return file.read(512).split(b"\n", 1)[0].decode("ascii", "replace")
    except OSError:
        return ""


def host_tag() -> str:
    """16 hex digits naming where this process's pids mean something: the
    host's name, this boot of it and the pid namespace."""
    try:
        namespace = os.readlink("/proc/self/ns/pid")
    except OSError:
        namespace = ""
    parts = (os.uname().nodename, _first_line("/proc/sys/kernel/random/boot_id"), namespace)
    return hashlib.blake2b("\n".join(parts).encode(), digest_size=8).hexdigest()


def process_gone(pid: int) -> bool:
    """Whether no process of this pid runs here; a zombie writes nothing
    more, so it counts as gone."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False  # it exists, under another user
    stat = _first_line(f"/proc/{pid}/stat")
    return stat[stat.rfind(")"):].startswith(") Z")


class Staging:
    """This attempt's staging directory, locked while the attempt runs and
    removed, with what it made in it, when it ends."""

    def __init__(self, target: str, name: str, k: int) -> None:
        self.name = name
        self.path = os.path.join(target, f"{_stem(name, k)}{os.getpid()}-{secrets.token_hex(8)}.tmp")
        self.lock = -1

    def __enter__(self) -> Staging:
        # Made under a name that no later attempt takes for a staging
        # directory, and given that name only once locked.
        making = f"{self.path.removesuffix('.tmp')}.{host_tag()}.new"
        os.mkdir(making, 0o700)
        try:
            self.lock = os.open(os.path.join(making, LOCK), os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            fcntl.flock(self.lock, fcntl.LOCK_EX)
            os.rename(making, self.path)
        except BaseException:
            _remove(making, self.name)
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        _remove(self.path, self.name)
        if self.lock >= 0:
            os.close(self.lock)


def _remove(path: str, name: str) -> None:
    """Removes the staging directory `path` if it holds only what an export
    attempt makes; anything else in it is left, and so is the directory."""
    made = _staged_names(name)
    try:
        entries = os.listdir(path)
    except OSError:
        return
    if not all(made.fullmatch(entry) for entry in entries):
        return
    for entry in sorted(entries, key=lambda e: e == LOCK):  # the lock last
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(path, entry))
    with contextlib.suppress(OSError):
        os.rmdir(path)


def _directories(target: str, pattern: re.Pattern[str]) -> list[tuple[str, re.Match[str]]]:
    """The directories in `target` (not links to them) whose names match `pattern`, with the match."""
    with os.scandir(target) as entries:
        found = [(e.path, pattern.fullmatch(e.name)) for e in entries]
    return [(path, match) for path, match in found if match and not os.path.islink(path) and os.path.isdir(path)]


def remove_abandoned(target: str, name: str, k: int) -> None:
    """Removes the staging directories of earlier attempts at file k that
    ended without cleaning up (their worker died). A directory of another
    name, or of an attempt still running, is left alone."""
    for path, _ in _directories(target, _pattern(name, k)):
        try:
            lock = os.open(os.path.join(path, LOCK), os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            continue  # not (or no longer) a staging directory of ours
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(lock)
            continue  # its attempt is still running
        try:
            _remove(path, name)
        finally:
            os.close(lock)
    here = host_tag()
    for path, match in _directories(target, _making_pattern(name, k)):
        if match[2] == here and process_gone(int(match[1])):
            _remove(path, name)
