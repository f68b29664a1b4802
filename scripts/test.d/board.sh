#!/usr/bin/env bash
# CI: the board check.  Boots the PowerPC image (scripts/board.sh; the native build in $1
# gives the host's trap listener) with tests/board/checks.sh as its job: every scenario
# ok, every text expected on the console.  A failure keeps it as $1/board-console.log.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
checks=$root/tests/board/checks.sh console=$build/board-console.log
mkdir -p "$build"
TW_BUILD_DIR=$build timeout --kill-after=10 1500 "$root/scripts/board.sh" --check "$checks" \
    --console "$console" >"$build/board-run.log" 2>&1
rc=$?
grep -E '^board: (image ready|building)' "$build/board-run.log"
grep '^BOARD-CHECK ' "$console" 2>/dev/null
fail=0 scenarios=$(grep -c '^check ' "$checks")
passed=$(grep -c '^BOARD-CHECK [a-z0-9_]* ok' "$console" 2>/dev/null)
[[ $rc -eq 0 && "$passed" -eq "$scenarios" ]] && grep -q '^BOARD-DONE' "$console" || fail=1
while read -r _ name text; do
    grep -qF "$text" "$console" || { echo "board: $name: \"$text\" not on the console"; fail=1; }
done < <(grep '^BOARD-EXPECT ' "$console" 2>/dev/null)
if ((fail)); then
    tail -n 20 "$build/board-run.log"
    echo "board check: failed ($passed of $scenarios scenarios ok, board.sh status $rc); console: $console"
    exit 1
fi
rm -f "$console"
echo "board check: $passed scenarios ok"
