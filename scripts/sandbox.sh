#!/usr/bin/env bash
# Runs a command in a private world: mount, network and pid namespaces, with
# tmpfs over /run (so /var/run and /var/lock), /mnt and /dev, /run/lock/subsys
# created, loopback up, and a capture FIFO standing at /dev/ttyS0 whose bytes
# are appended, exactly and in order, to /run/ttyS0.capture.
#
#   scripts/sandbox.sh [--keep-ttyS0-missing] COMMAND [ARG...]
#
# The machine's own /run, /var/lock, /mnt, /dev/ttyS0 are untouched; all inside ends with COMMAND.
set -euo pipefail

if [[ "${1:-}" != "--inner" ]]; then
    [[ $EUID -eq 0 ]] || { echo "sandbox.sh: must run as root" >&2; exit 2; }
    exec unshare --mount --net --pid --fork --mount-proc --propagation private \
        bash "$(readlink -f "$0")" --inner "$@"
fi
shift && tty=1
[[ "${1:-}" == "--keep-ttyS0-missing" ]] && shift && tty=0

mount -t tmpfs -o mode=0755 tw-run /run
mount -t tmpfs -o mode=0755 tw-mnt /mnt
mkdir -p /run/lock/subsys /run/netns /mnt/params

# A private /dev: the usual nodes bound from the host, and no real console.
host_dev=$(mktemp -d /tmp/tw-dev.XXXXXX)
mount --bind /dev "$host_dev"
mount -t tmpfs -o mode=0755 tw-dev /dev
mkdir -p /dev/net /dev/pts /dev/shm
for n in null zero full random urandom tty net/tun; do
    [[ -e "$host_dev/$n" ]] || continue
    touch "/dev/$n"
    mount --bind "$host_dev/$n" "/dev/$n"
done
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
mount -t tmpfs -o mode=1777 tw-shm /dev/shm
for l in ptmx:pts/ptmx fd:/proc/self/fd stdin:/proc/self/fd/0 stdout:/proc/self/fd/1 stderr:/proc/self/fd/2; do
    ln -s "${l#*:}" "/dev/${l%%:*}"
done
umount "$host_dev" && rmdir "$host_dev"

ip link set lo up
touch /run/tw-sandbox  # tests refuse to run without this mark

if [[ $tty -eq 1 ]]; then
    mkfifo -m 0600 /dev/ttyS0
    : >/run/ttyS0.capture
    # The reader holds the FIFO open for writing too: no end of file between the daemon's opens.
    (exec 3<>/dev/ttyS0; exec cat <&3 >>/run/ttyS0.capture) &
fi

"$@"
