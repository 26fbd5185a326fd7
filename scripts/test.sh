#!/usr/bin/env bash
# Sets everything up and runs the tests.
#
#   scripts/test.sh [pytest arguments...]
#       the type stubs against the installed module (stubtest), an example
#       and the package's own code checked with mypy --strict, and the suite
#       on this machine's Python, spread over every core (pytest-xdist). The
#       quick check before a commit.
#
#   scripts/test.sh --all
#       what CI runs:
#       1. the type checks above;
#       2. the suite on every supported Python version, each with vintrel built
#          and installed for it (nox; a version the machine lacks is reported
#          as skipped, by name, and does not fail the run);
#       3. the sdist, and a repaired wheel installed into a fresh venv with no
#          compiler reachable, running the demo;
#       4. the suite again on a build with AddressSanitizer and
#          UndefinedBehaviorSanitizer, with the .venv's Python;
#       5. the documentation site, built with warnings as errors, and the
#          check that it documents every public name.
#
# vintrel is reinstalled into .venv only when its sources changed
# (scripts/setup-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
all=false
if [ "${1:-}" = "--all" ]; then all=true; shift; fi
python=$(scripts/setup-env.sh)
export PATH="$(dirname "$python"):$PATH"
# Test processes: one per core by default.
jobs=${VINTREL_TEST_JOBS:-auto}

echo "== type stubs (stubtest), a typed example and the package (mypy --strict)"
"$python" -m mypy.stubtest vintrel
"$python" -m mypy --strict examples/typed_usage.py
MYPYPATH=src "$python" -m mypy --strict -p vintrel  # the package as checked out, not as installed

if ! $all; then
  echo "== tests on $("$python" --version)"
  exec "$python" -m pytest tests -q -p no:cacheprovider -n "$jobs" "$@"
fi

echo "== tests on Python 3.10, 3.11, 3.12 and 3.13"
"$python" -m nox -- -n "$jobs"

echo "== sdist and wheel"
"$python" -m pytest tests/test_distribution.py -m dist -q -p no:cacheprovider

echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
PYTHON="$python" scripts/build.sh --sanitize build/asan
PYTHON="$python" scripts/pytest-asan.sh build/asan tests -q -p no:cacheprovider

echo "== documentation site"
scripts/docs.sh
