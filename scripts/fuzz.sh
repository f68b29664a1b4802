#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang++ (ASan + UBSan) and runs each
# for SECONDS in scripts/sandbox.sh from its seed corpus.  Prints every target's runs and
# coverage; exits nonzero when one found a crash, leak, hang or broken invariant, or did not run.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default 15 s, every target)
#
# FUZZ_BUILD_DIR: the build directory (default build-fuzz), keeping the grown corpus
# (corpus/TARGET) for the next run and crash inputs (artifacts).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
build=${FUZZ_BUILD_DIR:-build-fuzz}
[[ "$build" = /* ]] || build="$root/$build"

tw_need_root "the targets run in the sandbox"
[[ "${1:-15}" =~ ^[0-9]+$ && "${1:-15}" -gt 0 ]] || { echo "fuzz.sh: SECONDS must be a positive number" >&2; exit 2; }

echo "== fuzz: build in $build"
fuzz_build() { cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ && cmake --build "$build" -j "${FUZZ_JOBS:-2}"; }
tw_logged "$build.build.log" fuzz_build || exit 1
exec "$build/fuzz-run" "$root" "$build" "${1:-15}" "${@:2}"
