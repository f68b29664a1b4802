#!/usr/bin/env bash
# The static PowerPC programs, for any board of the architecture: makes the
# musl sysroot when its inputs changed, then the cross build in
# build-ppc-musl (cmake/powerpc-linux-musl.cmake), its cpack tarball, and
# prints the tarball's path.
#
#   scripts/musl.sh [--sysroot-only] [--jobs N]
#
# The sysroot holds musl and GCC's C++ library built for it, both from
# Debian's source packages and compiled by Debian's glibc cross compiler,
# plus the cross toolchain's kernel headers.  It is kept with the board's
# parts, outside the checkout (TW_BOARD_CACHE, default
# /var/cache/trapwatch-board: musl-KEY/sysroot; the checkout's
# build-musl/sysroot links to it), so a fresh clone finds it; it is made
# again only when its key changes: the source versions, the compiler's and
# the kernel headers' package versions and this script with the files it
# installs (the flags live here).  Needs Debian and root (it installs what
# is missing).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"

musl_version=1.2.3-1
gcc_version=12.2.0-14+deb12u1
gcc_upstream=12.2.0
cache=${TW_BOARD_CACHE:-/var/cache/trapwatch-board}
build=$root/build-ppc-musl
jobs=$(nproc)
sysroot_only=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --sysroot-only) sysroot_only=1; shift ;;
        --jobs) jobs=$2; shift 2 ;;
        -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
        *) echo "musl.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ $EUID -eq 0 ]] || { echo "musl.sh: run as root (apt)" >&2; exit 2; }

tw_ensure_packages g++-powerpc-linux-gnu binutils-powerpc-linux-gnu linux-libc-dev-powerpc-cross \
    cmake make xz-utils debian-archive-keyring qemu-user || exit 1

note() { echo "musl.sh: $*" >&2; }

sysroot_key() {
    {
        echo "musl $musl_version gcc-12 $gcc_version"
        powerpc-linux-gnu-gcc --version | head -n 1
        dpkg-query -W -f='${Version}\n' linux-libc-dev-powerpc-cross
        cat "$0" "$root"/cmake/musl/*
    } | sha256sum | cut -c1-16
}

# Debian's source packages, through a sources list of our own.
fetch_sources() {
    local src=$cache/musl-src
    mkdir -p "$src/lists/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian bookworm main" >"$src/sources.list"
    local apt=(apt-get -q -o Dir::Etc::SourceList="$src/sources.list"
        -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists="$src/lists")
    "${apt[@]}" update >/dev/null
    (cd "$src" && "${apt[@]}" source --download-only "musl=$musl_version" "gcc-12=$gcc_version" \
        >/dev/null 2>&1) || { note "cannot fetch musl $musl_version and gcc-12 $gcc_version"; return 1; }
}

# musl, static only.  Debian's compiler defaults to a 128-bit long double on
# PowerPC, which musl does not support: 64 bits, as everything built here.
build_musl() {
    tar -C "$work" -xzf "$cache/musl-src/musl_${musl_version%-*}.orig.tar.gz"
    (cd "$work/musl-${musl_version%-*}" &&
        CROSS_COMPILE=powerpc-linux-gnu- CC=powerpc-linux-gnu-gcc CFLAGS="-mlong-double-64 -Os" \
            ./configure --prefix="$sysroot" --target=powerpc-linux-musl --disable-shared &&
        make -j"$jobs" && make install) >"$work/musl.log" 2>&1 ||
        { grep -E "error|Error" "$work/musl.log" | tail -n 20; note "musl did not build"; return 1; }
    cp -r /usr/powerpc-linux-gnu/include/{linux,asm,asm-generic} "$sysroot/include/"
    # Into libc.a, which a static link takes in one group with libgcc_eh,
    # the archive that needs it.
    powerpc-linux-gnu-gcc "${cflags[@]}" -Os -Wall -Wextra -Werror -c -o "$work/dl_find_object.o" \
        "$root/cmake/musl/dl_find_object.c"
    powerpc-linux-gnu-ar rs "$sysroot/lib/libc.a" "$work/dl_find_object.o"
}

# libstdc++ alone, out of GCC's tree (a tarball inside the orig tarball):
# only its own folder and the top-level build files it needs are unpacked.
build_libstdcxx() {
    local gcc_tar=gcc-12-$gcc_upstream/gcc-$gcc_upstream-dfsg.tar.xz g=$work/gcc-$gcc_upstream
    tar -C "$work" -xzf "$cache/musl-src/gcc-12_$gcc_upstream.orig.tar.gz" "$gcc_tar"
    tar -tJf "$work/$gcc_tar" | awk -F/ '(NF == 2 && $2 != "") || $2 == "config" ||
        $2 == "include" || ($2 == "libstdc++-v3" && ($3 != "testsuite" || $4 ~ /^Makefile/)) ||
        ($2 == "libgcc" && $3 ~ /^(gthr|unwind)/) || ($2 == "gcc" && $3 ~ /^(BASE-VER|DATESTAMP|DEV-PHASE)$/) ||
        ($2 == "libiberty" && $3 ~ /^cp-demangle/)' >"$work/members"
    tar -C "$work" -xJf "$work/$gcc_tar" --no-recursion -T "$work/members"
    # What GCC's own build would have made in libgcc: the thread model's header.
    mkdir -p "$work/libgcc" "$work/libstdc++"
    cp "$g/libgcc/gthr-posix.h" "$work/libgcc/gthr-default.h"
    # No verbose terminate handler: it would bring the demangler into every
    # program that can terminate.
    (cd "$work/libstdc++" && "$g/libstdc++-v3/configure" --host=powerpc-linux-musl \
        --build="$(gcc -dumpmachine)" --prefix="$sysroot" --with-gxx-include-dir="$sysroot/include/c++/12" \
        --disable-shared --disable-multilib --disable-libstdcxx-pch --disable-nls \
        --disable-libstdcxx-verbose --enable-threads=posix \
        CC="powerpc-linux-gnu-gcc ${cflags[*]}" CXX="powerpc-linux-gnu-g++ ${cflags[*]} -nostdinc++" \
        AR=powerpc-linux-gnu-ar RANLIB=powerpc-linux-gnu-ranlib NM=powerpc-linux-gnu-nm \
        CFLAGS="-Os -g0" CXXFLAGS="-Os -g0" LDFLAGS=-static &&
        make -j"$jobs" && make install) >"$work/libstdc++.log" 2>&1 ||
        { grep -E "error|Error" "$work/libstdc++.log" | tail -n 20; note "libstdc++ did not build"; return 1; }
    # Where several members define a symbol, the archive's order decides which
    # one a link takes: std::string's members, wanted by system_error.o (any
    # std::thread), would come from the string streams' member, which brings
    # iostreams and every locale facet along (a quarter of a megabyte).  With
    # system_error.o last, the next pass takes them from string-inst.o.
    powerpc-linux-gnu-ar m "$sysroot/lib/libstdc++.a" system_error.o
}

key=$(sysroot_key)
sysroot=$cache/musl-$key/sysroot
mkdir -p "$cache"
exec 8>"$cache/musl-$key.lock"
flock 8  # one maker of this sysroot at a time
if [[ "$(cat "$sysroot/key" 2>/dev/null)" != "$key" ]]; then
    t0=$SECONDS
    note "making the sysroot in $sysroot"
    work=$cache/musl-$key/work
    rm -rf "$sysroot" "$work"
    mkdir -p "$work"
    # The sysroot's headers first, then the compiler's own; its start files
    # (-B) and libraries (-L) ahead of the cross toolchain's glibc ones.
    cflags=(-mlong-double-64 -nostdinc -isystem "$sysroot/include"
        -isystem "$(powerpc-linux-gnu-gcc -print-file-name=include)" -B"$sysroot/lib/" -L"$sysroot/lib")
    fetch_sources
    build_musl
    build_libstdcxx
    rm -rf "$work"
    echo "$key" >"$sysroot/key"
    note "sysroot made in $((SECONDS - t0)) s"
fi
# The checkout's link (the toolchain file's default).  The builds against
# another sysroot would not see it change: they go too.
if [[ "$(readlink "$root/build-musl/sysroot")" != "$sysroot" ]]; then
    rm -rf "$build" "$root/build-ppc-musl-test" "$root/build-bench-ppc-musl" "$root/build-musl"
    mkdir -p "$root/build-musl" && ln -s "$sysroot" "$root/build-musl/sysroot"
fi
flock -u 8
((sysroot_only)) && exit 0

# The programs and their package.
TW_JOBS=$jobs tw_build "$build" -- -DCMAKE_BUILD_TYPE=Release -DTRAPWATCH_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-musl.cmake" >"$build.build.log" 2>&1 ||
    { grep -E "error|Error" "$build.build.log" | head -n 40; note "the build failed"; exit 1; }
(cd "$build" && cpack >"$build.cpack.log" 2>&1) ||
    { tail -n 20 "$build.cpack.log"; note "cpack failed"; exit 1; }
ls -t "$build"/packages/trapwatch-*-static.tar.gz | head -n 1
