#!/usr/bin/env bash
# Runs pytest against a sanitizer build of the module:
#   scripts/pytest-asan.sh BUILD_DIR [pytest arguments...]
# The interpreter is not built with AddressSanitizer, so its runtime is preloaded.
set -euo pipefail
dir=$1; shift
python=${PYTHON:-python3}
asan=$(${CXX:-g++} -print-file-name=libasan.so)
# libstdc++ is preloaded too, so the sanitizer's exception interceptors find
# the real __cxa_throw (the interpreter itself does not load libstdc++).
cxxrt=$(${CXX:-g++} -print-file-name=libstdc++.so)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
PYTHONPATH="$dir${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD="$asan $cxxrt" "$python" -m pytest "$@"
