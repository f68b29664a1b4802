#!/usr/bin/env bash
# CI: a two-minute soak of the daemon built in $1 (scripts/soak.sh).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exec "$root/scripts/soak.sh" 2 --build-dir "${1:-$root/build}"
