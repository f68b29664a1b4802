#!/usr/bin/env bash
# CI: a one-minute soak of the build in $1 over the two cases that open the
# daemon to the most input, the clients and the ICMP flood (scripts/soak.sh).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exec "$root/scripts/soak.sh" 1 --build-dir "${1:-$root/build}" \
    --only 'fault.abusive_clients:fault.a_flood_of_malformed_and_foreign_icmp'
