#!/usr/bin/env bash
# Measures the line and branch coverage of the native code (the C++ core and
# the Python binding, every folder of src/ except the Python package
# src/vintrel) under the test suite:
#   scripts/coverage.sh [BUILD_DIR] [pytest arguments...]
# Builds the module with gcov instrumentation into BUILD_DIR (default
# build/coverage), runs the suite against it with the .venv's Python, and
# prints per file the share of lines covered and the lines left uncovered,
# then the totals of lines and branches. The annotated sources are in
# BUILD_DIR/html/index.html.
# Exits non-zero when a test fails or coverage falls below COVERAGE_LINES
# (default 95) or COVERAGE_BRANCHES (default 85) percent.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/coverage
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then dir=$1; shift; fi
python=$(scripts/setup-env.sh)
export PATH="$(dirname "$python"):$PATH"

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVINTREL_COVERAGE=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$dir"
# Counts from an earlier run would add up with this one.
find "$dir" -name '*.gcda' -delete

status=0
# gcov_children (in scripts/) makes forked children write their counts too.
PYTHONPATH="$dir:scripts" "$python" -m pytest tests -q -p no:cacheprovider -p gcov_children "$@" || status=$?

# Exception branches are the compiler's (every call that may throw gets one,
# and the core reports errors as values); unreachable branches are those gcov
# itself marks as never taken by construction. A count gcov derives can come
# out negative when a worker thread was counting while counts were written
# (the process ends with the pool's threads parked, not joined): such a line
# is reported as a warning and left out rather than failing the report.
mkdir -p "$dir/html"
"$python" -m gcovr --root . --object-directory "$dir" \
  --filter 'src/' --exclude 'src/vintrel/' \
  --exclude-throw-branches --exclude-unreachable-branches --merge-lines \
  --gcov-ignore-parse-errors=negative_hits.warn_once_per_file \
  -j 2 --sort uncovered-percent \
  --txt --html-details "$dir/html/index.html" --txt-summary \
  --fail-under-line "${COVERAGE_LINES:-95}" --fail-under-branch "${COVERAGE_BRANCHES:-85}" || status=$?
exit $status
