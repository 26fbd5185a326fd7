#!/usr/bin/env bash
# Builds the extension module into a build directory for development:
#   scripts/build.sh [--sanitize | --release] [BUILD_DIR]
# then run tests against it with PYTHONPATH=BUILD_DIR. --release builds with
# the optimisation of an installed wheel (-O3), for benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=OFF
build_type=RelWithDebInfo
if [ "${1:-}" = "--sanitize" ]; then sanitize=ON; shift; fi
if [ "${1:-}" = "--release" ]; then build_type=Release; shift; fi
dir=${1:-build/dev}
python=${PYTHON:-python3}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$build_type -DVINTREL_SANITIZE=$sanitize \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$dir"
