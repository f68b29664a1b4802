#!/usr/bin/env bash
# The daemon on a booted board: a 32-bit big-endian PowerPC kernel with two cores
# under qemu-system-ppc64 (ppce500, e5500 cores in 32-bit mode), BusyBox as its
# userland, the project's PowerPC tarball unpacked over its root, keelson-sim as
# its controller, its network joined to the lab's receivers on the host side.
#
#   scripts/board.sh [--cycles N] [--check SCRIPT] [--console FILE]
#                    [--build-only] [--no-install]
#
# As root on Debian: installs what is missing, builds the kernel and BusyBox once
# into the cache (TW_BOARD_CACHE, default /var/cache/trapwatch-board; keyed by
# what each was built from), builds the tarball and the image, boots it inside
# scripts/sandbox.sh and shows the serial console (kernel, "board:" lines, trace).
#   --cycles N    frames of the matrix to show before the stop (default 3)
#   --check FILE  run the guest script FILE instead (the board check; its
#                 "BOARD-CHECK" lines are the results)
#   --console F   keep the console, without carriage returns, in F
#   --build-only  build the image's parts and stop
#   --no-install  install no package (all must be there)
set -euo pipefail
shopt -s inherit_errexit  # a failed step inside $(...) ends the script too
# Read whole before it runs, as the lab is.
{

here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

cycles=3 check="" console="" build_only=0 install=1 inner=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --inner) inner=1 work=$2; shift ;;
        --cycles) cycles=${2:?--cycles needs a number}; shift ;;
        --check) check=$(readlink -f "${2:?--check needs a file}"); shift ;;
        --console) console=$(readlink -m "${2:?--console needs a file}"); shift ;;
        --build-only) build_only=1 ;;
        --no-install) install=0 ;;
        -h | --help) tw_usage; exit 0 ;;
        *) echo "board: unknown option: $1" >&2; tw_usage >&2; exit 2 ;;
    esac
    shift
done
[[ "$cycles" =~ ^[0-9]+$ ]] || { echo "board: --cycles needs a number" >&2; exit 2; }

cache=${TW_BOARD_CACHE:-/var/cache/trapwatch-board} cross=powerpc-linux-gnu-
[[ $inner -eq 1 ]] || work=$cache/run.$$  # this run's image and console
netns=twb tap=twb-t       # tw_rxnet_up's namespace (the bridge is twb-m), the guest's TAP
rx_up=192.0.2.10          # trap listener: 2
rx_refused=192.0.2.11     # answers echo, refuses the trap port: 1
rx_silent=192.0.2.12      # nobody holds it: 0

if [[ $inner -eq 1 ]]; then  # in the sandbox
    trap 'tw_rxnet_down "$netns"' EXIT
    tw_rxnet_up "$netns" bridge "$rx_up" "$rx_refused" -- "$rx_silent"
    ip tuntap add "$tap" mode tap && ip link set "$tap" master "$netns-m" up
    tw_listener_up "$netns" /run/twb-listener.log "$rx_up:162"
    # The guest ends itself (its reset ends qemu); the bound is for a hang.  romfile=:
    # no boot ROM, which a machine without qemu's recommended packages lacks.
    job=show limit=$((120 + 6 * cycles)) rc=0
    [[ -z "$check" ]] || job=check limit=400
    timeout --kill-after=5 "$limit" qemu-system-ppc64 -M ppce500 -cpu e5500 -smp 2 -m 256 \
        -display none -monitor none -serial stdio -no-reboot \
        -kernel "$work/vmlinux" -initrd "$work/rootfs.cpio.gz" \
        -append "console=ttyS0 rdinit=/init tw_job=$job tw_cycles=$cycles tw_time=$(date +%s)" \
        -netdev "tap,id=n0,ifname=$tap,script=no,downscript=no" -device virtio-net-pci,netdev=n0,romfile= \
        </dev/null | tee "$work/console.raw" || rc=$?
    ((rc == 0)) || echo "board: qemu ended with status $rc (limit ${limit} s)" >&2
    grep -q '^board: power off' <(tr -d '\r' <"$work/console.raw") || exit 1
    exit "$rc"
fi

tw_need_root "namespaces, TAP"
((install == 0)) || tw_ensure_packages build-essential dpkg-dev cmake flex bison bc cpio xz-utils \
    bzip2 iproute2 gcc-powerpc-linux-gnu g++-powerpc-linux-gnu linux-source-6.1 qemu-system-ppc ||
    { echo "board: package install failed" >&2; exit 1; }
mkdir -p "$cache" && exec 9>"$cache/lock"
flock 9  # one builder of the cache at a time
jobs=${TW_JOBS:-$(nproc)}
gcc_version=$(${cross}gcc --version | head -n 1)  # for the keys of what it builds

# check_config FRAGMENT CONFIG: false when an option did not hold (a dependency it lacks).
check_config() {
    local bad
    bad=$(grep '^CONFIG_' "$1" | grep -vxF -f "$2") || return 0
    sed 's/.*/board: & did not hold/' <<<"$bad" >&2; return 1
}

# The kernel, keyed by the source package, the compiler and the fragment.
kernel() {
    local ver dir src=$cache/linux-src t=$SECONDS
    ver=$(dpkg-query -W -f='${Version}' linux-source-6.1)
    # The config fragments count by their options alone: a comment builds nothing.
    dir=$cache/kernel-$(tw_key "linux-source-6.1 $ver" "$gcc_version" "$(grep '^CONFIG_' "$here/board/kernel.config")")
    if [[ ! -f "$dir/vmlinux" ]]; then
        echo "board: building the kernel (linux-source-6.1 $ver) into $dir" >&2
        rm -rf "$src" "$dir.tmp" && mkdir -p "$src" "$dir.tmp"
        tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=1
        local m=(make -C "$src" O="$dir.tmp" ARCH=powerpc CROSS_COMPILE="$cross")
        KCONFIG_ALLCONFIG="$here/board/kernel.config" tw_logged "$cache/kernel.log" "${m[@]}" allnoconfig
        check_config "$here/board/kernel.config" "$dir.tmp/.config"
        tw_logged "$cache/kernel.log" "${m[@]}" -j"$jobs" vmlinux
        mkdir -p "$dir" && cp "$dir.tmp/.config" "$dir/config" && mv "$dir.tmp/vmlinux" "$dir/" &&
            rm -rf "$src" "$dir.tmp"
        echo "board: kernel built in $((SECONDS - t)) s" >&2
    fi
    echo "$dir/vmlinux"
}

# Static BusyBox from Debian's source package (fetched once), keyed by its .dsc too.
busybox() {
    local srcs=$cache/busybox-src dir b=$cache/busybox-build t=$SECONDS
    ls "$srcs"/busybox_*.dsc >/dev/null 2>&1 || tw_debian_source "$srcs" busybox
    dir=$cache/busybox-$(tw_key "$srcs"/busybox_*.dsc "$gcc_version" "$(grep '^CONFIG_' "$here/board/busybox.config")")
    if [[ ! -f "$dir/busybox" ]]; then
        echo "board: building BusyBox into $dir" >&2
        rm -rf "$b" "$dir" && mkdir -p "$b/out"
        tw_logged "$cache/busybox.log" dpkg-source -x "$srcs"/busybox_*.dsc "$b/src"
        # allnoconfig, then the fragment's lines in place of the defaults.
        tw_logged "$cache/busybox.log" make -C "$b/src" O="$b/out" allnoconfig
        { grep -vE "^(# )?($(grep -o '^CONFIG_[A-Z0-9_]*' "$here/board/busybox.config" | paste -sd'|'))[= ]" \
            "$b/out/.config" && grep '^CONFIG_' "$here/board/busybox.config"; } >"$b/config"
        mv "$b/config" "$b/out/.config"
        # New questions take their defaults (off); the status is make's.
        tw_logged "$cache/busybox.log" bash -c 'yes "" | make -C "$1" oldconfig' _ "$b/out"
        check_config "$here/board/busybox.config" "$b/out/.config"
        tw_logged "$cache/busybox.log" make -C "$b/out" -j"$jobs" busybox busybox.links
        mkdir -p "$dir" && cp "$b/out/busybox" "$b/out/busybox.links" "$b/out/.config" "$dir/" && rm -rf "$b"
        echo "board: BusyBox built in $((SECONDS - t)) s" >&2
    fi
    echo "$dir"
}

# image KERNEL BUSYBOX_DIR INIT TARBALL: $work/vmlinux and $work/rootfs.cpio.gz.
image() {
    local stage=$work/root l
    mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,lib,dev,proc,sys,run,tmp,var,etc/board,mnt/params}
    ln -s ../run "$stage/var/run" && ln -s ../run/lock "$stage/var/lock"
    cp "$2/busybox" "$stage/bin/" && cp "$3" "$stage/init"
    while read -r l; do ln -sf /bin/busybox "$stage$l"; done <"$2/busybox.links"
    cp "$here/board/rc" "$here/board/show.sh" "$stage/etc/board/"
    [[ -n "$check" ]] && cp "$check" "$stage/etc/board/checks.sh"
    # As an integrator installs it: the tarball unpacked over the root.
    tar -xzf "$4" -C "$stage"
    tw_config 192.0.2.1 "162:$rx_up,$rx_refused,$rx_silent" >"$stage/mnt/params/cfparams.txt"
    (cd "$stage" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/rootfs.cpio.gz"
    cp "$1" "$work/vmlinux"
    rm -rf "$stage"
}

t0=$SECONDS
rm -rf "$work" && mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
vmlinux=$(kernel)
bb=$(busybox)
# Process 1 of the image (scripts/board/init.cpp), keyed by its source.
init=$cache/init-$(tw_key "$here/board/init.cpp" "$gcc_version")/init
[[ -f "$init" ]] || { mkdir -p "${init%/*}" &&
    ${cross}g++ -std=c++20 -static -Os -s -Wall -Wextra -Werror -o "$init" "$here/board/init.cpp"; }
echo "board: building the PowerPC tarball and the host's trap listener" >&2
pkg=$("$here/musl.sh" | tail -n 1)
[[ -f "$pkg" ]] || { echo "board: scripts/musl.sh gave no tarball" >&2; exit 1; }
mkdir -p "$TW_BUILD_DIR"
tw_logged "$TW_BUILD_DIR/board-build.log" tw_build "$TW_BUILD_DIR" trap-listener
image "$vmlinux" "$bb" "$init" "$pkg"
flock -u 9
echo "board: image ready in $((SECONDS - t0)) s: $(basename "$(dirname "$vmlinux")"), $(basename "$bb"), $(basename "$pkg")" >&2
[[ $build_only -eq 1 ]] && exit 0

"$here/sandbox.sh" bash "$here/board.sh" --inner "$work" --cycles "$cycles" ${check:+--check "$check"} && rc=0 || rc=$?
[[ -n "$console" ]] && tr -d '\r' <"$work/console.raw" >"$console"
exit "$rc"
}
