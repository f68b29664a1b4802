#!/usr/bin/env bash
# CI: every fuzz target for 15 seconds (scripts/fuzz.sh), in its own build
# directory next to the native one ($1): about 50 s with the build.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
FUZZ_BUILD_DIR="$build-fuzz" exec timeout --kill-after=10 120 "$root/scripts/fuzz.sh" 15
