#!/usr/bin/env bash
# Sets everything up and runs the demo on a sample acquisition made on the fly.
#   scripts/demo.sh [--model NAME]
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/setup-env.sh)
exec "$python" tools/demo.py "$@"
