#!/usr/bin/env bash
# Builds the extension module into a build directory for development:
#   scripts/build.sh [--sanitize] [BUILD_DIR]
# then run tests against it with PYTHONPATH=BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=OFF
if [ "${1:-}" = "--sanitize" ]; then sanitize=ON; shift; fi
dir=${1:-build/dev}
python=${PYTHON:-python3}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINTREL_SANITIZE=$sanitize \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$dir"
