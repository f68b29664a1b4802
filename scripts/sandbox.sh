#!/usr/bin/env bash
# Runs a command in a private world: mount, network and pid namespaces, with
# tmpfs over /run (so /var/run and /var/lock), /mnt and /dev, /run/lock/subsys
# created, loopback up, and a capture FIFO standing at /dev/ttyS0 whose bytes
# are appended, exactly and in order, to /run/ttyS0.capture.
#
#   scripts/sandbox.sh [--keep-ttyS0-missing] COMMAND [ARG...]
#
# Nothing of the machine's own /run, /var/lock, /mnt or /dev/ttyS0 is touched.
# The namespaces die with COMMAND; every process started inside ends with them.
set -euo pipefail

if [[ "${1:-}" != "--inner" ]]; then
    [[ $EUID -eq 0 ]] || { echo "sandbox.sh: must run as root" >&2; exit 2; }
    exec unshare --mount --net --pid --fork --mount-proc --propagation private \
        bash "$(readlink -f "$0")" --inner "$@"
fi
shift

no_tty=0
if [[ "${1:-}" == "--keep-ttyS0-missing" ]]; then
    no_tty=1
    shift
fi

mount -t tmpfs -o mode=0755 tw-run /run
mkdir -p /run/lock/subsys /run/netns
mount -t tmpfs -o mode=0755 tw-mnt /mnt
mkdir -p /mnt/params

# A private /dev: the usual nodes bound from the host, and no real console.
host_dev=$(mktemp -d /tmp/tw-dev.XXXXXX)
mount --bind /dev "$host_dev"
mount -t tmpfs -o mode=0755 tw-dev /dev
for n in null zero full random urandom tty; do
    touch "/dev/$n"
    mount --bind "$host_dev/$n" "/dev/$n"
done
mkdir -p /dev/net /dev/pts /dev/shm
if [[ -e "$host_dev/net/tun" ]]; then
    touch /dev/net/tun
    mount --bind "$host_dev/net/tun" /dev/net/tun
fi
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
ln -s pts/ptmx /dev/ptmx
mount -t tmpfs -o mode=1777 tw-shm /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount "$host_dev"
rmdir "$host_dev"

ip link set lo up
touch /run/tw-sandbox  # tests refuse to run without this mark

if [[ $no_tty -eq 0 ]]; then
    mkfifo -m 0600 /dev/ttyS0
    : >/run/ttyS0.capture
    # The reader holds the FIFO open for writing too, so it never sees end of
    # file between the daemon's one-line opens.
    (exec 3<>/dev/ttyS0; exec cat <&3 >>/run/ttyS0.capture) &
fi

"$@"
