#!/usr/bin/env bash
# CI: the manual pages (mandoc -T lint), the .deb (lintian; its changelog's version), and
# the package installed with apt in a throw-away overlay of the root in the sandbox: the
# manual page found, the unit verified, its own start and stop commands run from a
# process 1, then dpkg -r leaving only the conffiles.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"

if [[ ${1:-} == --chroot ]]; then  # inside the overlay: the checks on the installed package
    unit=/lib/systemd/system/trapwatch.service
    rm -f /usr/sbin/policy-rc.d  # as on a fresh machine: the maintainer scripts' calls run
    apt-get install -y -qq --no-install-recommends "$2" >/tmp/package.log 2>&1 &&
        man -w trapwatchctl >/dev/null && systemd-analyze verify "$unit" ||
        { cat /tmp/package.log; exit 1; }
    line() { sed -n "s/^$1=//p" "$unit" | sed 's/\$\$/$/g'; }  # as systemd expands it
    unshare -pf --mount-proc bash -c "$(line ExecStartPre) && $(line ExecStart) &&
        source $root/scripts/lib.sh && tw_wait_for 50 trapwatchctl version && $(line ExecStop) &&
        tw_wait_for 50 test -z \"\$(trapwatchctl pid 2>/dev/null)\"" >>/tmp/package.log 2>&1 ||
        { cat /tmp/package.log; exit 1; }
    files=$(dpkg -L trapwatch) && dpkg -r trapwatch >/dev/null 2>&1 || exit 1
    left=$(for f in $files; do [[ -f $f ]] && echo "$f"; done)
    [[ $left == "$(dpkg-query -W -f='${Conffiles}' trapwatch | awk '{print $1}')" ]] ||
        { echo "left after dpkg -r: $left"; exit 1; }
    exit 0
fi
if [[ ${1:-} == --overlay ]]; then  # inside the sandbox
    t=$(mktemp -d /run/tw-pkg.XXXXXX)
    mkdir "$t/upper" "$t/work" "$t/root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$t/upper,workdir=$t/work" "$t/root" &&
        for d in proc dev sys; do mount --rbind "/$d" "$t/root/$d"; done &&
        mount -t tmpfs tw-run "$t/root/run" && mkdir -p "$t/root/run/lock" "$t/root$root" &&
        mount --bind "$root" "$t/root$root" && cp "$2" "$t/root/tmp/" || exit 1
    exec chroot "$t/root" bash "$root/scripts/test.d/package.sh" --chroot "/tmp/${2##*/}"
fi

build=$(cd "${1:-$root/build}" && pwd) || exit 1
tw_ensure_packages lintian mandoc man-db systemd || exit 1
fail=0
mandoc -T lint -W warning "$root"/docs/man/* || fail=1
rm -rf "$build/packages"
(cd "$build" && cpack >"$build/cpack.log" 2>&1) || { tail -n 20 "$build/cpack.log"; exit 1; }
deb=$(echo "$build"/packages/trapwatch_*.deb)
lintian --fail-on error,warning "$deb" 2>/dev/null || fail=1
version=$(sed -n '1s/^trapwatch (\(.*\)).*/\1/p' "$root/packaging/changelog")
[[ $version == "$(dpkg-deb -f "$deb" Version)" ]] ||
    { echo "packaging/changelog is at $version, the package at $(dpkg-deb -f "$deb" Version)"; fail=1; }
timeout 300 "$root/scripts/sandbox.sh" bash "$0" --overlay "$deb" || { echo "install check failed"; fail=1; }
exit $fail
