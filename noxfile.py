"""The test suite on every supported Python version, one session each (3.10
with the oldest numpy vintrel supports):

    nox                 # tests-3.10 ... tests-3.13
    nox -s tests-3.12   # one of them

Interpreters are found on PATH or, failing that, among pyenv's versions. A
version this machine lacks is reported as skipped, by name, in nox's output
and summary; it does not fail the run.
"""

from __future__ import annotations

import os
from pathlib import Path

import nox

PYTHONS = ["3.10", "3.11", "3.12", "3.13"]
# The oldest numpy supported, tested on the oldest Python (the others get the newest).
OLDEST_NUMPY = {"3.10": "numpy==1.22.4"}

nox.options.sessions = ["tests"]
nox.options.reuse_existing_virtualenvs = True
# Explicitly off: nox would turn a missing interpreter into an error on CI.
nox.options.error_on_missing_interpreters = False
# Only interpreters that are on the machine: never a downloaded build.
nox.options.download_python = "never"


def pyenv_bin_dirs() -> list[str]:
    """The bin folder of the newest pyenv install of each supported version."""
    root = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv") / "versions"
    found = []
    for version in PYTHONS:
        installs = sorted(root.glob(f"{version}.[0-9]*"), key=lambda p: [int(x) for x in p.name.split(".")
                                                                          if x.isdigit()])
        installs = [p for p in installs if (p / "bin" / f"python{version}").exists()]
        if installs:
            found.append(str(installs[-1] / "bin"))
    return found


# Appended, so an interpreter already on PATH keeps precedence.
os.environ["PATH"] = os.pathsep.join([os.environ.get("PATH", ""), *pyenv_bin_dirs()])


@nox.session(python=PYTHONS)
def tests(session: nox.Session) -> None:
    """Builds and installs vintrel into the session's venv and runs the suite on it."""
    session.install(".[test]")
    if session.python in OLDEST_NUMPY:
        session.install(OLDEST_NUMPY[str(session.python)])
    session.run("python", "-m", "pytest", "tests", "-q", "-p", "no:cacheprovider", *session.posargs)
