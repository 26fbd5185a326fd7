#!/usr/bin/env bash
# Sets everything up and runs all tests:
#   1. the type stubs against the installed module (stubtest), and an example
#      checked with mypy --strict;
#   2. the suite on every supported Python version, each with vintrel built
#      and installed for it (nox; a version the machine lacks is reported as
#      skipped, by name, and does not fail the run);
#   3. the sdist, and a repaired wheel installed into a fresh venv with no
#      compiler reachable, running the demo;
#   4. the suite again on a build with AddressSanitizer and UndefinedBehavior-
#      Sanitizer, with the .venv's Python.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/setup-env.sh)
export PATH="$(dirname "$python"):$PATH"

echo "== type stubs (stubtest) and a typed example (mypy --strict)"
"$python" -m mypy.stubtest vintrel
"$python" -m mypy --strict examples/typed_usage.py
MYPYPATH=src "$python" -m mypy --strict -p vintrel  # the package as checked out, not as installed

echo "== tests on Python 3.10, 3.11, 3.12 and 3.13"
"$python" -m nox

echo "== sdist and wheel"
"$python" -m pytest tests/test_distribution.py -m dist -q -p no:cacheprovider

echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
PYTHON="$python" scripts/build.sh --sanitize build/asan
PYTHON="$python" scripts/pytest-asan.sh build/asan tests -q -p no:cacheprovider
