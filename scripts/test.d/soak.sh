#!/usr/bin/env bash
# CI: 3,000 cycles of the week's scenario (scripts/soak.sh --cycles) on the build in $1:
# every disturbance, the re-read included, in about a minute, at x500 (see soak.sh).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exec "$root/scripts/soak.sh" --cycles 3000 --speed 500 --build-dir "${1:-$root/build}"
