#!/usr/bin/env bash
# Creates .venv (once) and installs vintrel with its test and development
# tools (version matrix, type checks, wheel building), the plotting extra and
# the documentation tools into it. Prints the venv's python. Used by demo.sh,
# test.sh and docs.sh.
#
# The install is skipped when nothing it depends on changed since the last
# one: a hash of the build's inputs (src/, CMakeLists.txt, pyproject.toml) is
# kept in .venv/vintrel-installed.sha256. Delete that file to force a
# reinstall.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv >&2
fi
stamp=.venv/vintrel-installed.sha256
inputs=$(find src CMakeLists.txt pyproject.toml -type f -not -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z \
  | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$inputs" ]; then
  rm -f "$stamp"
  .venv/bin/python -m pip install -q --disable-pip-version-check cmake ninja "scikit-build-core>=0.11" >&2
  .venv/bin/python -m pip install -q --disable-pip-version-check ".[test,dev,plot,docs]" >&2
  echo "$inputs" >"$stamp"
fi
echo "$PWD/.venv/bin/python"
