#!/usr/bin/env bash
# Long fuzzing of all targets (outside CI): 30 minutes each by default.
#   bash bench/fuzz_long.sh [seconds per target] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-1800}
shift || true
exec bash scripts/fuzz.sh "$secs" "$@"
