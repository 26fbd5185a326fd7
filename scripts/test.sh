#!/usr/bin/env bash
# Sets everything up and runs all tests: once against the installed module,
# then again against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/setup-env.sh)
export PATH="$(dirname "$python"):$PATH"

echo "== tests (installed module)"
"$python" -m pytest tests -q -p no:cacheprovider

echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
PYTHON="$python" scripts/build.sh --sanitize build/asan
PYTHON="$python" scripts/pytest-asan.sh build/asan tests -q -p no:cacheprovider
