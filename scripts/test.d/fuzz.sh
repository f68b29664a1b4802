#!/usr/bin/env bash
# CI: every fuzz target for 15 seconds (scripts/fuzz.sh), in its own build
# directory next to the native one ($1): about 50 s with the build.
root=$(cd "$(dirname "$0")/../.." && pwd)
FUZZ_BUILD_DIR="${1:-$root/build}-fuzz" exec timeout --kill-after=10 120 "$root/scripts/fuzz.sh" 15
