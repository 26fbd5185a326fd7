#!/usr/bin/env bash
# Creates .venv (once) and installs vintrel with its test and development
# tools (version matrix, type checks, wheel building) and the plotting extra
# into it. Prints the venv's python. Used by demo.sh and test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv >&2
fi
.venv/bin/python -m pip install -q --disable-pip-version-check cmake ninja "scikit-build-core>=0.11" >&2
.venv/bin/python -m pip install -q --disable-pip-version-check ".[test,dev,plot]" >&2
echo "$PWD/.venv/bin/python"
